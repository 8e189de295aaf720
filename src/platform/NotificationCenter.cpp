#include "platform/NotificationCenter.h"

#include <algorithm>

#include "platform/WorkerPool.h"

namespace orsa::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: a worker may still post while the process exits.
  static NotificationCenter* center = new NotificationCenter();
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          std::shared_ptr<DispatchQueue> queue,
                                                          NotificationCallback callback) {
  auto observer = std::make_shared<Observer>();
  observer->name = name;
  observer->queue = std::move(queue);
  observer->callback = std::move(callback);
  std::lock_guard lock(mutex_);
  observer->token = nextToken_++;
  observers_.push_back(observer);
  return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
  std::shared_ptr<Observer> removed;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(observers_.begin(), observers_.end(),
                           [token](const auto& o) { return o->token == token; });
    if (it == observers_.end()) return;
    removed = std::move(*it);
    observers_.erase(it);
  }
  removed->removed.store(true);
}

void NotificationCenter::deliver(const std::shared_ptr<Observer>& observer,
                                 const Notification& note) {
  if (observer->removed.load()) return;
  runTaskGuarded([&] { observer->callback(note); });
}

void NotificationCenter::post(const std::string& name, std::any object) {
  // Callbacks run on a snapshot taken without the lock held, so they may add and remove
  // observers (themselves included) and post again.
  std::vector<std::shared_ptr<Observer>> targets;
  {
    std::lock_guard lock(mutex_);
    for (const auto& o : observers_)
      if (o->name.empty() || o->name == name) targets.push_back(o);
  }
  if (targets.empty()) return;
  auto note = std::make_shared<const Notification>(Notification{name, std::move(object)});
  for (const auto& observer : targets) {
    if (observer->queue) {
      observer->queue->async([observer, note] { deliver(observer, *note); });
    } else {
      deliver(observer, *note);
    }
  }
}

size_t NotificationCenter::observerCount() const {
  std::lock_guard lock(mutex_);
  return observers_.size();
}

}  // namespace orsa::platform
