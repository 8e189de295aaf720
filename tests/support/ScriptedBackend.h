#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/HttpTestServers.h"

namespace orsa::test {

// A stand-in web-demo backend on 127.0.0.1. The HTTP side (a FaultHttpServer) answers by path;
// the WebSocket side accepts any path, records what clients send and sends what the test tells
// it to.
class ScriptedBackend {
 public:
  using Reply = FaultHttpServer::Reply;
  using Request = FaultHttpServer::Request;
  using Handler = std::function<Reply(const Request&)>;

  static Reply reply(std::string body, int status = 200,
                     std::optional<size_t> closeAfter = std::nullopt);

  // Until scripted otherwise, "/api/model_list" answers with `models`, "/api/create_task" with
  // task "t1" on WebSocket port 4242, and "/api/destroy_task" with success.
  explicit ScriptedBackend(nlohmann::json models);
  ~ScriptedBackend();
  ScriptedBackend(const ScriptedBackend&) = delete;
  ScriptedBackend& operator=(const ScriptedBackend&) = delete;

  std::string httpBase() const;  // "http://127.0.0.1:P"
  std::string wsBase() const;    // "ws://127.0.0.1:Q/ws"

  // Answers requests for path with handler from now on.
  void script(const std::string& path, Handler handler);
  // Back to the default answers; every record below starts empty again.
  void reset();
  // Bodies posted to path, parsed as JSON (discarded values where they are not JSON), in order.
  std::vector<nlohmann::json> bodies(const std::string& path) const;

  // Paths of the sockets opened so far, in order.
  std::vector<std::string> socketPaths() const;
  // Text frames received from clients, in order.
  std::vector<std::string> received() const;
  // Close frames received from clients.
  size_t closesReceived() const;
  // Sends a text frame on every open socket and waits until it is written.
  void sendText(const std::string& text);
  // The same bytes as a binary frame.
  void sendBinary(const std::string& bytes);

 private:
  void send(const std::string& text, bool binary);
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orsa::test
