#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/HttpTestServers.h"

namespace orsa::test {

// A stand-in web-demo backend on 127.0.0.1: the HTTP side is a FaultHttpServer answered by the
// handler; the WebSocket side accepts any path, records what clients send and sends what the
// test tells it to.
class ScriptedBackend {
 public:
  explicit ScriptedBackend(FaultHttpServer::Handler handler);
  ~ScriptedBackend();
  ScriptedBackend(const ScriptedBackend&) = delete;
  ScriptedBackend& operator=(const ScriptedBackend&) = delete;

  FaultHttpServer& http();
  std::string httpBase() const;  // "http://127.0.0.1:P"
  std::string wsBase() const;    // "ws://127.0.0.1:Q/ws"

  // Paths of the sockets opened so far, in order.
  std::vector<std::string> socketPaths() const;
  // Text frames received from clients, in order.
  std::vector<std::string> received() const;
  // Close frames received from clients.
  size_t closesReceived() const;
  // Sends a text frame on every open socket and waits until it is written.
  void sendText(const std::string& text);
  // Waits until pred() holds (checked whenever the socket side records something, and every
  // 20 ms); returns pred().
  bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orsa::test
