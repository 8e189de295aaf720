#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The backend task's WebSocket as the connector sees it: a client for ws:// and wss:// URLs
// whose events reach a delegate. It knows nothing of tasks, start messages or heartbeats.
//
// Every socket of the process runs on one background thread, so a socket's events arrive one
// at a time, in order, on that thread. Once close() is called the socket reports nothing more.
// Only text frames are messages: binary frames are read and dropped.
class DHWebSocketTask {
 public:
  struct Delegate {
    std::function<void(const std::string& protocol)> didOpen;
    std::function<void(const std::string& text)> didReceive;
    std::function<void(int32_t code, const std::string& description)> didFailReceive;
    std::function<void(const std::string& description)> didFailSend;
    std::function<void(int32_t code, const std::string& reason)> didClose;
  };

  // A message longer than this ends the connection as a receive failure: the backend's
  // messages are small, and a hostile one must not take the process's memory.
  static constexpr size_t kMaxMessageBytes = 1 << 20;

  // A socket for url, not yet connecting; null when url is not a ws:// or wss:// URL with a
  // host.
  static std::shared_ptr<DHWebSocketTask> create(const std::string& url, Delegate delegate);

  virtual ~DHWebSocketTask() = default;
  // Connects and, once open, keeps reading until the socket ends or close() is called.
  virtual void resume() = 0;
  // Queues a text frame; frames go out one at a time, in order.
  virtual void send(std::string text) = 0;
  // Drops what is queued (a frame being written finishes), sends a close frame once open, or
  // cuts a connection attempt short.
  virtual void close() = 0;
};
