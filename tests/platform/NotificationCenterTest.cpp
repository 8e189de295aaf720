#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace orsa::platform;

TEST(NotificationCenter, DeliversInOrderAndSurvivesChangesDuringAPostAndFromManyThreads) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::Token self = 0, victim = 0, added = 0;
  self = center.addObserver("n", nullptr, [&](const Notification& n) {
    seen.push_back("self:" + std::any_cast<std::string>(n.object));
    center.removeObserver(self);  // itself, a later observer and a new one, mid-post
    center.removeObserver(victim);
    added = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("new"); });
    center.post("inner");  // re-entrant
  });
  victim = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("victim"); });
  std::atomic<int> busy{0};
  center.addObserver("", nullptr, [&](const Notification& n) {
    if (n.name == "busy")
      ++busy;
    else
      seen.push_back("all:" + n.name);
  });
  center.post("n", std::string("x"));
  center.post("n");
  center.removeObserver(added);
  center.removeObserver(123456);  // unknown tokens are harmless
  center.post("n");
  // Posters, and observers coming and going, on several threads at once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto token = center.addObserver("n", nullptr, [](const Notification&) {});
        center.post("busy");
        center.removeObserver(token);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(center.observerCount(), 1u);
  EXPECT_EQ(busy.load(), 800);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"self:x", "all:inner", "all:n", "all:n", "new", "all:n"}));
}

TEST(NotificationCenter, QueuedObserversRunOnTheirQueueAndNeverAfterRemoval) {
  NotificationCenter center;
  auto q = makeSerialQueue("test.notes");
  std::atomic<int> onQueue{0}, calls{0};
  auto token = center.addObserver(kDidBecomeActive, q, [&](const Notification&) {
    onQueue += q->isCurrent();
    ++calls;
  });
  for (int i = 0; i < 3; ++i) center.post(kDidBecomeActive);
  q->sync([] {});
  EXPECT_EQ(onQueue.load(), 3);
  Semaphore release;
  q->async([&] { release.wait(); });
  center.post(kDidBecomeActive);  // queued behind the blocker
  center.removeObserver(token);
  release.signal();
  q->sync([] {});
  EXPECT_EQ(calls.load(), 3);
}
