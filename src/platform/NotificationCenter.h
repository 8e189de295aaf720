#pragma once

#include <any>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Dispatch.h"

namespace orsa::platform {

// Application life-cycle notifications, posted by the host (or the orsa tool).
inline constexpr const char* kWillTerminate = "UIApplicationWillTerminateNotification";
inline constexpr const char* kDidBecomeActive = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kWillResignActive = "UIApplicationWillResignActiveNotification";

struct Notification {
  std::string name;
  std::any object;  // what the poster attached; empty when nothing
};

using NotificationCallback = std::function<void(const Notification&)>;

// Delivers named notifications to observers. An observer added with a queue gets its
// callback on that queue; one added without (nullptr) is called synchronously on the posting
// thread, before post() returns.
//
// Observers may be added and removed at any time, also from inside a callback. Once
// removeObserver returns, no new call of that observer starts (one running on another thread
// may still be finishing).
class NotificationCenter {
 public:
  using Token = uint64_t;

  static NotificationCenter& defaultCenter();

  NotificationCenter() = default;
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // An empty name observes every notification. Tokens are never 0.
  Token addObserver(const std::string& name, std::shared_ptr<DispatchQueue> queue,
                    NotificationCallback callback);
  void removeObserver(Token token);
  void post(const std::string& name, std::any object = {});

  size_t observerCount() const;

 private:
  struct Observer {
    Token token = 0;
    std::string name;
    std::shared_ptr<DispatchQueue> queue;
    NotificationCallback callback;
    std::atomic<bool> removed{false};
  };

  static void deliver(const std::shared_ptr<Observer>& observer, const Notification& note);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
  Token nextToken_ = 1;
};

}  // namespace orsa::platform
