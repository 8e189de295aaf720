#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/WorkerPool.h"
#include "support/TestSupport.h"

using namespace std::chrono_literals;
using namespace orsa::platform;
using orsa::test::waitUntil;

namespace {

// Counts tasks inside a section at once; any overlap is remembered.
struct OverlapProbe {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  void run(std::chrono::microseconds hold) {
    if (++inside != 1) overlap = true;
    std::this_thread::sleep_for(hold);
    --inside;
  }
};

}  // namespace

TEST(SerialQueue, TasksFromTwoPostersRunOneAtATimeInOrder) {
  auto q = makeSerialQueue("test.serial");
  std::vector<int> order;  // touched only by the queue's tasks: a race here is a bug
  OverlapProbe probe;
  std::atomic<bool> current{true};
  std::thread other([&] {
    for (int i = 0; i < 300; ++i) q->async([&, i] { order.push_back(1000 + i); });
  });
  for (int i = 0; i < 300; ++i)
    q->async([&, i] {
      current = current && q->isCurrent();
      probe.run(i % 50 == 0 ? 200us : 0us);
      order.push_back(i);
    });
  other.join();
  q->sync([] {});  // waits for everything queued before it
  EXPECT_FALSE(probe.overlap);
  EXPECT_TRUE(current);
  EXPECT_FALSE(q->isCurrent());
  ASSERT_EQ(order.size(), 600u);
  int last[2] = {-1, 999};
  for (int v : order) EXPECT_EQ(v, ++last[v >= 1000]);
}

TEST(Dispatch, SyncNeverDeadlocksAcrossQueues) {
  auto a = makeSerialQueue("test.sync.a"), b = makeSerialQueue("test.sync.b");
  std::atomic<int> steps{0};
  Semaphore done;
  a->async([&] {
    a->sync([&] { ++steps; });  // own queue: inline
    b->sync([&] {
      EXPECT_TRUE(a->isCurrent());
      EXPECT_TRUE(b->isCurrent());
      a->sync([&] { ++steps; });  // back to the waiting queue
    });
    globalQueue()->sync([&] { globalQueue()->sync([&] { ++steps; }); });
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(60s)) << "sync deadlocked";
  EXPECT_EQ(steps.load(), 3);
  // Onto the main queue from a worker: runs on the thread draining the main loop.
  std::atomic<bool> onMain{false}, finished{false};
  globalQueue()->async([&] {
    mainQueue()->sync([&] { mainQueue()->sync([&] { onMain = MainLoop::isMainThread(); }); });
    finished = true;
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return finished.load(); }, 60s));
  EXPECT_TRUE(onMain);
}

TEST(WorkerPool, TakesHigherPriorityFirstSurvivesThrowsAndShutdownDropsQueuedJobs) {
  auto p = WorkerPool::create({.baseThreads = 1, .maxThreads = 1});
  Semaphore started, release;
  std::mutex m;
  std::string order;
  auto add = [&](QoS qos, char name, bool block = false) {
    p->submit(qos, [&, name, block] {
      if (block) started.signal(), release.wait();
      std::lock_guard lock(m);
      order += name;
    });
  };
  p->submit(QoS::Default, [] { throw std::runtime_error("boom"); });
  add(QoS::Default, '<', true);
  ASSERT_TRUE(started.waitFor(60s)) << "the worker died with the throwing task";
  for (auto [qos, name] : {std::pair{QoS::Background, 'b'},
                           {QoS::Default, 'd'},
                           {QoS::UserInteractive, 'I'},
                           {QoS::Utility, 'u'},
                           {QoS::UserInitiated, 'i'},
                           {QoS::Default, 'D'},
                           {QoS::Background, 'B'},
                           {QoS::UserInteractive, 'J'}})
    add(qos, name);
  release.signal();
  add(QoS::Background, '>', true);
  ASSERT_TRUE(started.waitFor(60s));
  add(QoS::UserInteractive, 'x');  // queued when the shutdown comes: never runs
  std::thread stopper([&] { EXPECT_TRUE(p->shutdown(60s)); });
  EXPECT_TRUE(waitUntil([&] { return !p->submit(QoS::Default, [] {}); }));
  release.signal();
  stopper.join();
  EXPECT_EQ(order, "<IJidDubB>");
}

TEST(WorkerPool, BlockedTasksDoNotStarveTheSharedPool) {
  const auto before = sharedWorkerPool()->stats();
  // More blocked tasks than the pool has threads (and room for one more under its limit); only
  // a task queued after them releases them.
  const size_t blockers =
      std::min(std::max(before.threads, before.baseThreads) + 4, before.maxThreads - 1);
  struct Shared {  // outlives the test if a task is still blocked when it fails
    Semaphore gate;
    std::atomic<size_t> released{0}, timedOut{0};
  };
  auto st = std::make_shared<Shared>();
  for (size_t i = 0; i < blockers; ++i)
    globalQueue(QoS::Default)->async([st] {
      ++(st->gate.waitFor(30s) ? st->released : st->timedOut);
    });
  globalQueue(QoS::Background)->async([st, blockers] {
    for (size_t i = 0; i < blockers; ++i) st->gate.signal();
  });
  EXPECT_TRUE(waitUntil([&] { return st->released + st->timedOut == blockers; }));
  EXPECT_EQ(st->released.load(), blockers);
  EXPECT_LE(sharedWorkerPool()->stats().peakThreads, before.maxThreads);
}

TEST(WorkerPool, GrowsUpToItsLimitUnderBlockingAndRetiresIdleExtras) {
  auto p = WorkerPool::create(
      {.baseThreads = 1, .maxThreads = 3, .growAfter = 5ms, .retireAfter = 100ms});
  Semaphore gate;
  std::atomic<int> started{0};
  for (int i = 0; i < 10; ++i)
    p->submit(QoS::Default, [&] {
      ++started;
      gate.waitFor(60s);
    });
  EXPECT_TRUE(waitUntil([&] { return started.load() == 3; }));
  std::this_thread::sleep_for(50ms);  // room for a fourth thread, which must not come
  EXPECT_EQ(started.load(), 3);
  EXPECT_EQ(p->stats().threads, 3u);
  for (int i = 0; i < 10; ++i) gate.signal();
  EXPECT_TRUE(waitUntil([&] { return started.load() == 10; }));
  EXPECT_TRUE(waitUntil([&] { return p->stats().threads == 1; })) << p->stats().threads;
  EXPECT_TRUE(p->shutdown(60s));
}

TEST(RepeatingTimer, SlowFiringsOnThePoolNeverOverlapAndDroppingTheHandleStops) {
  OverlapProbe probe;
  std::atomic<int> count{0};
  std::atomic<int64_t> first{0};
  const int64_t t0 = currentMillis();
  {
    auto timer = RepeatingTimer::start(nullptr, 5ms, [&] {
      if (++count == 1) first = currentMillis() - t0;
      probe.run(15ms);
    });
    ASSERT_TRUE(waitUntil([&] { return count.load() >= 4; }));
  }
  // A firing already begun may still finish; after that, nothing more may come.
  EXPECT_TRUE(waitUntil([&] { return probe.inside.load() == 0; }));
  std::this_thread::sleep_for(100ms);
  const int settled = count.load();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(count.load(), settled);
  EXPECT_EQ(probe.inside.load(), 0);
  EXPECT_FALSE(probe.overlap);
  EXPECT_GE(first.load(), 5) << "the first firing comes one interval after start";
}

TEST(MainLoop, RunsQueuedTasksOnlyWhenPumpedOnOneThreadAtATime) {
  while (MainLoop::poll() > 0) {
  }
  std::vector<int> order;  // main queue only
  OverlapProbe probe;
  for (int i = 0; i < 50; ++i)
    mainQueue()->async([&, i] {
      probe.run(200us);
      order.push_back(i);
    });
  std::atomic<int> ticks{0};
  auto timer = RepeatingTimer::start(mainQueue(), 5ms, [&] { ++ticks; });
  std::this_thread::sleep_for(100ms);  // twenty ticks while nobody drains the main queue
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(ticks.load(), 0);
  const int64_t t0 = currentMillis();
  auto pump = [&] { MainLoop::runUntil([&] { return order.size() == 50; }, 60s); };
  std::thread second(pump);
  pump();
  second.join();
  MainLoop::runFor(20ms);
  // The ticks that came while nobody pumped merge into one instead of piling up.
  EXPECT_LE(ticks.load(), 3 + (currentMillis() - t0) / 5);
  ASSERT_EQ(order.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
  EXPECT_FALSE(probe.overlap);
  EXPECT_FALSE(MainLoop::isMainThread());
  // run() ends on stop(), also on a stop that came before it.
  globalQueue()->asyncAfter(20ms, [] { MainLoop::stop(); });
  MainLoop::run();
  MainLoop::stop();
  MainLoop::run();
}

// Leaves blocked workers, queued tasks, armed timers and an unpumped main queue behind, and
// exits: the exit must be clean and prompt.
ORSA_TEST_CHILD(ExitWithWorkInFlight) {
  static auto* never = new Semaphore();  // a blocked worker may still use it at exit
  for (int i = 0; i < 6; ++i) globalQueue()->async([] { never->wait(); });
  auto q = makeSerialQueue("exit.serial");
  for (int i = 0; i < 100; ++i) q->async([] { std::this_thread::sleep_for(1ms); });
  static auto timer = RepeatingTimer::start(globalQueue(), 1ms, [] {});
  q->asyncAfter(10s, [] {});
  mainQueue()->async([] {});
  std::this_thread::sleep_for(30ms);
  return 0;
}

TEST(Dispatch, ProcessExitWithWorkInFlightIsClean) {
  auto r = orsa::test::runChild("ExitWithWorkInFlight", {}, 30);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}
