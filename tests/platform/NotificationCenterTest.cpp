#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace orsa::platform;
using namespace std::chrono_literals;

TEST(NotificationCenter, DeliversByNameInOrderWithTheObject) {
  NotificationCenter center;
  std::vector<std::string> seen;
  auto self = std::this_thread::get_id();
  bool sameThread = true;
  center.addObserver(kWillTerminate, nullptr, [&](const Notification& n) {
    sameThread = sameThread && std::this_thread::get_id() == self;
    seen.push_back("a:" + n.name);
  });
  center.addObserver(kDidBecomeActive, nullptr,
                     [&](const Notification& n) { seen.push_back("b:" + n.name); });
  center.addObserver("", nullptr, [&](const Notification& n) { seen.push_back("all:" + n.name); });
  auto item = std::make_shared<int>(7);
  std::shared_ptr<int> received;
  center.addObserver("kDownloadTaskFinishedNoti", nullptr, [&](const Notification& n) {
    received = std::any_cast<std::shared_ptr<int>>(n.object);
  });

  center.post(kWillTerminate);
  center.post(kWillResignActive);
  center.post("kDownloadTaskFinishedNoti", item);
  EXPECT_EQ(seen, (std::vector<std::string>{"a:UIApplicationWillTerminateNotification",
                                            "all:UIApplicationWillTerminateNotification",
                                            "all:UIApplicationWillResignActiveNotification",
                                            "all:kDownloadTaskFinishedNoti"}));
  EXPECT_TRUE(sameThread);
  EXPECT_EQ(received, item);
  EXPECT_STREQ(kDidBecomeActive, "UIApplicationDidBecomeActiveNotification");
}

TEST(NotificationCenter, QueuedObserversRunOnTheirQueue) {
  NotificationCenter center;
  auto q = makeSerialQueue("test.notes");
  std::atomic<int> onQueue{0};
  std::atomic<int> calls{0};
  Semaphore done;
  center.addObserver(kDidBecomeActive, q, [&](const Notification&) {
    if (q->isCurrent()) ++onQueue;
    if (++calls == 3) done.signal();
  });
  for (int i = 0; i < 3; ++i) center.post(kDidBecomeActive);
  ASSERT_TRUE(done.waitFor(3s));
  EXPECT_EQ(onQueue.load(), 3);
}

TEST(NotificationCenter, RemovalDuringAPostIsSafe) {
  NotificationCenter center;
  std::vector<std::string> seen;
  NotificationCenter::Token self = 0, victim = 0, added = 0;
  self = center.addObserver("n", nullptr, [&](const Notification&) {
    seen.push_back("self");
    center.removeObserver(self);  // removes itself mid-post
    center.removeObserver(victim);
    if (!added)
      added = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("new"); });
  });
  victim = center.addObserver("n", nullptr, [&](const Notification&) { seen.push_back("victim"); });
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"self"}));
  center.post("n");
  EXPECT_EQ(seen, (std::vector<std::string>{"self", "new"}));
  EXPECT_EQ(center.observerCount(), 1u);
  center.removeObserver(added);
  center.removeObserver(added);  // twice, and unknown tokens: harmless
  center.removeObserver(123456);
  center.post("n");
  EXPECT_EQ(seen.size(), 2u);
}

TEST(NotificationCenter, NoQueuedCallAfterRemoval) {
  NotificationCenter center;
  auto q = makeSerialQueue("test.notes.removal");
  Semaphore blocked, release;
  q->async([&] {
    blocked.signal();
    release.wait();
  });
  ASSERT_TRUE(blocked.waitFor(2s));
  std::atomic<int> calls{0};
  auto token = center.addObserver(kWillResignActive, q, [&](const Notification&) { ++calls; });
  center.post(kWillResignActive);  // queued behind the blocker
  center.removeObserver(token);
  release.signal();
  q->sync([] {});
  EXPECT_EQ(calls.load(), 0);
}

TEST(NotificationCenter, ReentrantPostAndConcurrentUse) {
  NotificationCenter center;
  std::atomic<int> inner{0};
  center.addObserver("outer", nullptr, [&](const Notification&) { center.post("inner"); });
  center.addObserver("inner", nullptr, [&](const Notification&) { ++inner; });
  center.post("outer");
  EXPECT_EQ(inner.load(), 1);

  // Posters, and observers coming and going, on several threads at once.
  std::atomic<int> stable{0};
  center.addObserver("busy", nullptr, [&](const Notification&) { ++stable; });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto token = center.addObserver("busy", nullptr, [](const Notification&) {});
        center.post("busy");
        center.removeObserver(token);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(stable.load(), 800);
  EXPECT_EQ(center.observerCount(), 3u);
}

TEST(NotificationCenter, DefaultCenterIsOneInstance) {
  EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
  std::atomic<int> calls{0};
  auto token = NotificationCenter::defaultCenter().addObserver(
      kWillTerminate, nullptr, [&](const Notification&) { ++calls; });
  NotificationCenter::defaultCenter().post(kWillTerminate);
  NotificationCenter::defaultCenter().removeObserver(token);
  NotificationCenter::defaultCenter().post(kWillTerminate);
  EXPECT_EQ(calls.load(), 1);
}
