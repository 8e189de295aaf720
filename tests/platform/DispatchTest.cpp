#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
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

namespace {

// Polls pred until it holds or the timeout passes.
bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Drains whatever an earlier test left on the main queue.
void drainMain() {
  while (MainLoop::poll() > 0) {
  }
}

}  // namespace

TEST(SerialQueue, RunsTasksInOrderOneAtATime) {
  auto q = makeSerialQueue("test.serial.order");
  std::vector<int> order;  // touched only by the queue's tasks: a race here is a bug
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<bool> sawCurrent{true};
  constexpr int kCount = 300;
  Semaphore done;
  // Posted from two threads; each poster's tasks keep their order.
  std::thread other([&] {
    for (int i = 0; i < kCount; ++i) q->async([&, i] { order.push_back(1000 + i); });
  });
  for (int i = 0; i < kCount; ++i) {
    q->async([&, i] {
      int now = ++running;
      int prev = maxRunning.load();
      while (now > prev && !maxRunning.compare_exchange_weak(prev, now)) {
      }
      if (!q->isCurrent()) sawCurrent = false;
      if (i % 50 == 0) std::this_thread::sleep_for(200us);
      order.push_back(i);
      --running;
    });
  }
  other.join();
  q->async([&] { done.signal(); });
  ASSERT_TRUE(done.waitFor(5s));
  EXPECT_EQ(maxRunning.load(), 1);
  EXPECT_TRUE(sawCurrent.load());
  EXPECT_FALSE(q->isCurrent());
  ASSERT_EQ(order.size(), 2u * kCount);
  int lastMine = -1, lastOther = 999;
  for (int v : order) {
    if (v >= 1000) {
      EXPECT_EQ(v, lastOther + 1);
      lastOther = v;
    } else {
      EXPECT_EQ(v, lastMine + 1);
      lastMine = v;
    }
  }
}

TEST(SerialQueue, TwoQueuesRunSideBySide) {
  // Each queue waits for the other's task to start: only possible if they are not serialised
  // with each other.
  auto a = makeSerialQueue("test.serial.a");
  auto b = makeSerialQueue("test.serial.b");
  Semaphore aStarted, bStarted;
  std::atomic<int> ok{0};
  a->async([&] {
    aStarted.signal();
    if (bStarted.waitFor(3s)) ++ok;
  });
  b->async([&] {
    bStarted.signal();
    if (aStarted.waitFor(3s)) ++ok;
  });
  EXPECT_TRUE(waitUntil([&] { return ok.load() == 2; }, 5s));
}

TEST(SerialQueue, SyncWaitsForEarlierTasksAndRunsInline) {
  auto q = makeSerialQueue("test.serial.sync");
  std::atomic<bool> first{false};
  q->async([&] {
    std::this_thread::sleep_for(20ms);
    first = true;
  });
  bool sawFirst = false, current = false;
  q->sync([&] {
    sawFirst = first.load();
    current = q->isCurrent();
  });
  EXPECT_TRUE(sawFirst);
  EXPECT_TRUE(current);
  // Nothing queued after the sync block may have run alongside it.
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  for (int i = 0; i < 20; ++i) {
    q->async([&] {
      if (++inside != 1) overlap = true;
      std::this_thread::sleep_for(100us);
      --inside;
    });
    q->sync([&] {
      if (++inside != 1) overlap = true;
      --inside;
    });
  }
  EXPECT_FALSE(overlap.load());
}

TEST(Dispatch, SyncOnTheSameQueueDoesNotDeadlock) {
  auto a = makeSerialQueue("test.sync.a");
  auto b = makeSerialQueue("test.sync.b");
  std::atomic<int> steps{0};
  Semaphore done;
  a->async([&] {
    a->sync([&] { ++steps; });  // own queue: inline
    b->sync([&] {
      ++steps;
      EXPECT_TRUE(a->isCurrent());
      EXPECT_TRUE(b->isCurrent());
      a->sync([&] { ++steps; });  // back to the waiting queue: still no deadlock
    });
    globalQueue()->sync([&] {
      ++steps;
      globalQueue()->sync([&] { ++steps; });
    });
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(5s)) << "sync deadlocked";
  EXPECT_EQ(steps.load(), 5);

  drainMain();
  std::atomic<bool> mainDone{false};
  mainQueue()->async([&] { mainQueue()->sync([&] { mainDone = true; }); });
  EXPECT_TRUE(MainLoop::runUntil([&] { return mainDone.load(); }, 2s));
}

TEST(Dispatch, SyncOntoMainFromWorkerRunsOnMainThread) {
  drainMain();
  std::atomic<bool> ranOnMain{false};
  std::atomic<bool> finished{false};
  std::thread::id mainId;
  std::thread::id testThread = std::this_thread::get_id();
  globalQueue()->async([&] {
    mainQueue()->sync([&] {
      ranOnMain = MainLoop::isMainThread();
      mainId = std::this_thread::get_id();
    });
    finished = true;
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return finished.load(); }, 3s));
  EXPECT_TRUE(ranOnMain.load());
  EXPECT_EQ(mainId, testThread);
}

TEST(WorkerPool, TakesHigherPriorityFirst) {
  WorkerPool::Options options;
  options.name = "test.prio";
  options.baseThreads = 1;
  options.maxThreads = 1;
  options.growAfter = 10s;
  auto pool = WorkerPool::create(options);
  Semaphore blockerStarted, release;
  pool->submit(QoS::Default, [&] {
    blockerStarted.signal();
    release.wait();
  });
  ASSERT_TRUE(blockerStarted.waitFor(2s));
  std::mutex m;
  std::vector<std::string> order;
  auto add = [&](QoS qos, std::string name) {
    pool->submit(qos, [&, name] {
      std::lock_guard lock(m);
      order.push_back(name);
    });
  };
  add(QoS::Background, "bg1");
  add(QoS::Default, "def1");
  add(QoS::UserInteractive, "ui1");
  add(QoS::Utility, "util1");
  add(QoS::UserInitiated, "init1");
  add(QoS::Default, "def2");
  add(QoS::Background, "bg2");
  add(QoS::UserInteractive, "ui2");
  release.signal();
  ASSERT_TRUE(waitUntil(
      [&] {
        std::lock_guard lock(m);
        return order.size() == 8;
      },
      3s));
  std::vector<std::string> expected = {"ui1",  "ui2",   "init1", "def1",
                                       "def2", "util1", "bg1",   "bg2"};
  EXPECT_EQ(order, expected);
  EXPECT_TRUE(pool->shutdown(2s));
}

TEST(WorkerPool, BlockedTasksDoNotStarveThePool) {
  auto before = globalPoolSnapshot();
  // More blocked tasks than the pool has threads; only a task queued after them releases them.
  const size_t blockers = std::max(before.threads, before.baseThreads) + 4;
  Semaphore gate;
  std::atomic<size_t> released{0};
  std::atomic<size_t> timedOut{0};
  for (size_t i = 0; i < blockers; ++i) {
    globalQueue(QoS::Default)->async([&] {
      if (gate.waitFor(10s))
        ++released;
      else
        ++timedOut;
    });
  }
  globalQueue(QoS::Background)->async([&] {
    for (size_t i = 0; i < blockers; ++i) gate.signal();
  });
  EXPECT_TRUE(waitUntil([&] { return released.load() + timedOut.load() == blockers; }, 8s));
  EXPECT_EQ(released.load(), blockers);
  EXPECT_EQ(timedOut.load(), 0u);
  auto after = globalPoolSnapshot();
  EXPECT_LE(after.peakThreads, after.maxThreads);
}

TEST(WorkerPool, GrowsUnderBlockingAndRetiresIdleExtras) {
  WorkerPool::Options options;
  options.name = "test.grow";
  options.baseThreads = 2;
  options.maxThreads = 8;
  options.growAfter = 10ms;
  options.retireAfter = 100ms;
  auto pool = WorkerPool::create(options);
  Semaphore gate;
  std::atomic<int> finished{0};
  constexpr int kBlockers = 6;
  for (int i = 0; i < kBlockers; ++i)
    pool->submit(QoS::Default, [&] {
      if (gate.waitFor(5s)) ++finished;
    });
  pool->submit(QoS::Default, [&] {
    for (int i = 0; i < kBlockers; ++i) gate.signal();
  });
  ASSERT_TRUE(waitUntil([&] { return finished.load() == kBlockers; }, 4s));
  auto grown = pool->stats();
  EXPECT_GE(grown.peakThreads, static_cast<size_t>(kBlockers + 1));
  EXPECT_LE(grown.peakThreads, 8u);
  // The extras go once idle; the base threads stay.
  EXPECT_TRUE(waitUntil([&] { return pool->stats().threads == 2; }, 3s))
      << "threads: " << pool->stats().threads;
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(pool->stats().threads, 2u);
  EXPECT_TRUE(pool->shutdown(2s));
}

TEST(WorkerPool, NeverGrowsPastItsLimit) {
  WorkerPool::Options options;
  options.name = "test.cap";
  options.baseThreads = 1;
  options.maxThreads = 3;
  options.growAfter = 5ms;
  auto pool = WorkerPool::create(options);
  Semaphore gate;
  std::atomic<int> started{0};
  for (int i = 0; i < 10; ++i)
    pool->submit(QoS::Default, [&] {
      ++started;
      gate.waitFor(3s);
    });
  EXPECT_TRUE(waitUntil([&] { return started.load() == 3; }, 2s));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(started.load(), 3);
  EXPECT_EQ(pool->stats().threads, 3u);
  for (int i = 0; i < 10; ++i) gate.signal();
  EXPECT_TRUE(waitUntil([&] { return started.load() == 10; }, 3s));
  EXPECT_TRUE(pool->shutdown(2s));
}

TEST(WorkerPool, ShutdownDropsQueuedJobsAndRefusesNewOnes) {
  WorkerPool::Options options;
  options.name = "test.stop";
  options.baseThreads = 1;
  options.maxThreads = 1;
  auto pool = WorkerPool::create(options);
  Semaphore started, release;
  std::atomic<int> ran{0};
  pool->submit(QoS::Default, [&] {
    started.signal();
    release.wait();
    ++ran;
  });
  ASSERT_TRUE(started.waitFor(2s));
  pool->submit(QoS::Default, [&] { ++ran; });
  std::thread stopper([&] { EXPECT_TRUE(pool->shutdown(3s)); });
  EXPECT_TRUE(waitUntil([&] { return !pool->submit(QoS::Default, [&] { ran += 100; }); }, 2s));
  release.signal();
  stopper.join();
  EXPECT_EQ(ran.load(), 1);  // the running job completed; the queued one never ran
}

TEST(WorkerPool, ATaskThatThrowsDoesNotTakeTheWorkerDown) {
  WorkerPool::Options options;
  options.name = "test.throw";
  options.baseThreads = 1;
  options.maxThreads = 1;
  auto pool = WorkerPool::create(options);
  Semaphore after;
  pool->submit(QoS::Default, [] { throw std::runtime_error("boom"); });
  pool->submit(QoS::Default, [&] { after.signal(); });
  EXPECT_TRUE(after.waitFor(2s));
  EXPECT_EQ(pool->stats().threads, 1u);
  EXPECT_TRUE(pool->shutdown(2s));
}

TEST(Dispatch, DelayedTasksNeverRunEarly) {
  drainMain();
  auto serial = makeSerialQueue("test.delay");
  struct Probe {
    int64_t posted = 0;
    std::atomic<int64_t> ran{-1};
  };
  Probe onSerial, onGlobal, onMain;
  onSerial.posted = currentMillis();
  serial->asyncAfter(40ms, [&] { onSerial.ran = currentMillis(); });
  onGlobal.posted = currentMillis();
  globalQueue(QoS::Utility)->asyncAfter(30ms, [&] { onGlobal.ran = currentMillis(); });
  onMain.posted = currentMillis();
  mainQueue()->asyncAfter(25ms, [&] { onMain.ran = currentMillis(); });
  ASSERT_TRUE(MainLoop::runUntil(
      [&] { return onSerial.ran >= 0 && onGlobal.ran >= 0 && onMain.ran >= 0; }, 3s));
  EXPECT_GE(onSerial.ran - onSerial.posted, 40);
  EXPECT_GE(onGlobal.ran - onGlobal.posted, 30);
  EXPECT_GE(onMain.ran - onMain.posted, 25);
  // And not absurdly late either.
  EXPECT_LT(onSerial.ran - onSerial.posted, 1500);
}

TEST(Dispatch, DelayedTasksRunInDeadlineOrder) {
  auto q = makeSerialQueue("test.delay.order");
  std::vector<int> order;
  Semaphore done;
  q->asyncAfter(60ms, [&] {
    order.push_back(60);
    done.signal();
  });
  q->asyncAfter(10ms, [&] { order.push_back(10); });
  q->asyncAfter(30ms, [&] { order.push_back(30); });
  q->asyncAfter(0ms, [&] { order.push_back(0); });
  ASSERT_TRUE(done.waitFor(3s));
  q->sync([] {});
  EXPECT_EQ(order, (std::vector<int>{0, 10, 30, 60}));
}

TEST(RepeatingTimer, FiresRepeatedlyAndStopsOnCancel) {
  auto q = makeSerialQueue("test.timer");
  std::atomic<int> count{0};
  std::vector<int64_t> stamps;  // touched on q only
  int64_t started = currentMillis();
  auto timer = RepeatingTimer::start(q, 15ms, [&] {
    stamps.push_back(currentMillis());
    ++count;
  });
  ASSERT_TRUE(waitUntil([&] { return count.load() >= 4; }, 3s));
  int atCancel = 0;
  // Cancelled from the queue itself, so no firing can be half-way through.
  q->sync([&] {
    timer->cancel();
    atCancel = count.load();
  });
  std::this_thread::sleep_for(80ms);
  q->sync([] {});
  EXPECT_EQ(count.load(), atCancel);
  q->sync([&] {
    ASSERT_GE(stamps.size(), 4u);
    EXPECT_GE(stamps[0] - started, 15);  // the first firing comes one interval after start
    for (size_t i = 1; i < stamps.size(); ++i) EXPECT_GE(stamps[i] - stamps[i - 1], 1);
    EXPECT_GE(stamps.back() - started, 15 * static_cast<int64_t>(stamps.size()) - 1);
  });
}

TEST(RepeatingTimer, DroppingTheHandleStops) {
  std::atomic<int> count{0};
  {
    auto timer = RepeatingTimer::start(globalQueue(), 5ms, [&] { ++count; });
    ASSERT_TRUE(waitUntil([&] { return count.load() >= 2; }, 3s));
  }
  // A firing that had already begun may still finish; after that, silence.
  std::this_thread::sleep_for(30ms);
  int settled = count.load();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(count.load(), settled);
}

TEST(RepeatingTimer, SlowFiringsOnTheWorkerPoolNeverOverlap) {
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<int> count{0};
  // A null queue means the worker pool, where nothing else would serialise the firings.
  auto timer = RepeatingTimer::start(nullptr, 2ms, [&] {
    if (++inside != 1) overlap = true;
    std::this_thread::sleep_for(15ms);
    --inside;
    ++count;
  });
  ASSERT_TRUE(waitUntil([&] { return count.load() >= 4; }, 3s));
  timer->cancel();
  EXPECT_TRUE(waitUntil([&] { return inside.load() == 0; }, 1s));
  EXPECT_FALSE(overlap.load());
}

TEST(RepeatingTimer, OnMainQueueFiresOnlyWhilePumpedAndDoesNotPileUp) {
  drainMain();
  std::atomic<int> count{0};
  auto timer = RepeatingTimer::start(mainQueue(), 5ms, [&] { ++count; });
  std::this_thread::sleep_for(60ms);  // about a dozen ticks while nobody drains the main queue
  EXPECT_EQ(count.load(), 0);
  MainLoop::poll();
  EXPECT_LE(count.load(), 2);  // the ticks that came meanwhile were merged, not queued
  EXPECT_TRUE(MainLoop::runUntil([&] { return count.load() >= 3; }, 2s));
  timer->cancel();
  MainLoop::runFor(30ms);
  int settled = count.load();
  MainLoop::runFor(30ms);
  EXPECT_EQ(count.load(), settled);
}

TEST(Semaphore, TimedWaitsAndCounting) {
  Semaphore empty;
  int64_t t0 = currentMillis();
  EXPECT_FALSE(empty.waitFor(30ms));
  EXPECT_GE(currentMillis() - t0, 30);

  Semaphore two(2);
  EXPECT_TRUE(two.waitFor(0ms));
  EXPECT_TRUE(two.waitFor(0ms));
  EXPECT_FALSE(two.waitFor(5ms));
  two.signal();
  EXPECT_TRUE(two.waitFor(0ms));

  Semaphore cross;
  std::thread t([&] {
    std::this_thread::sleep_for(20ms);
    cross.signal();
  });
  t0 = currentMillis();
  EXPECT_TRUE(cross.waitFor(3s));
  EXPECT_LT(currentMillis() - t0, 2000);
  t.join();

  // Many waiters, each released exactly once.
  Semaphore many;
  std::atomic<int> through{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 8; ++i)
    waiters.emplace_back([&] {
      if (many.waitFor(3s)) ++through;
    });
  for (int i = 0; i < 5; ++i) many.signal();
  EXPECT_TRUE(waitUntil([&] { return through.load() == 5; }, 2s));
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(through.load(), 5);
  for (int i = 0; i < 3; ++i) many.signal();
  for (auto& w : waiters) w.join();
  EXPECT_EQ(through.load(), 8);
}

TEST(MainLoop, TasksWaitUntilTheLoopRuns) {
  drainMain();
  std::vector<int> order;  // main queue only
  for (int i = 0; i < 5; ++i) mainQueue()->async([&order, i] { order.push_back(i); });
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainLoop::poll(), 5u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(MainLoop::poll(), 0u);
}

TEST(MainLoop, RunUntilAndRunForAreBounded) {
  drainMain();
  int64_t t0 = currentMillis();
  EXPECT_FALSE(MainLoop::runUntil([] { return false; }, 60ms));
  int64_t took = currentMillis() - t0;
  EXPECT_GE(took, 60);
  EXPECT_LT(took, 1000);

  // A predicate made true by a worker, with no main-queue task, ends the wait early.
  std::atomic<bool> flag{false};
  globalQueue()->asyncAfter(20ms, [&] { flag = true; });
  t0 = currentMillis();
  EXPECT_TRUE(MainLoop::runUntil([&] { return flag.load(); }, 3s));
  EXPECT_LT(currentMillis() - t0, 1000);

  t0 = currentMillis();
  mainQueue()->async([] {});
  mainQueue()->async([] {});
  EXPECT_EQ(MainLoop::runFor(40ms), 2u);
  EXPECT_GE(currentMillis() - t0, 40);
  EXPECT_LT(currentMillis() - t0, 1000);
}

TEST(MainLoop, RunEndsOnStopIncludingAnEarlyStop) {
  drainMain();
  std::atomic<int> ran{0};
  bool mainSeen = false;
  mainQueue()->async([&] {
    ++ran;
    mainSeen = MainLoop::isMainThread() && mainQueue()->isCurrent();
  });
  globalQueue()->asyncAfter(20ms, [] { MainLoop::stop(); });
  int64_t t0 = currentMillis();
  MainLoop::run();
  EXPECT_LT(currentMillis() - t0, 2000);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(mainSeen);
  EXPECT_FALSE(MainLoop::isMainThread());

  // A stop that came before run() still ends it.
  MainLoop::stop();
  t0 = currentMillis();
  MainLoop::run();
  EXPECT_LT(currentMillis() - t0, 500);

  // And the loop works normally afterwards.
  mainQueue()->async([&] { ++ran; });
  EXPECT_TRUE(MainLoop::runUntil([&] { return ran.load() == 2; }, 1s));
}

TEST(MainLoop, OnlyOneThreadDrainsAtATime) {
  drainMain();
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  std::atomic<int> done{0};
  for (int i = 0; i < 50; ++i)
    mainQueue()->async([&] {
      if (++inside != 1) overlap = true;
      std::this_thread::sleep_for(200us);
      --inside;
      ++done;
    });
  std::thread second([&] { MainLoop::runUntil([&] { return done.load() == 50; }, 3s); });
  MainLoop::runUntil([&] { return done.load() == 50; }, 3s);
  second.join();
  EXPECT_EQ(done.load(), 50);
  EXPECT_FALSE(overlap.load());
}

TEST(Dispatch, RunOnOwnThreadUsesANamedThreadOfItsOwn) {
  Semaphore done;
  std::string name;
  std::thread::id id;
  runOnOwnThread("orsa.test.own", [&] {
    char buf[32] = {};
    pthread_getname_np(pthread_self(), buf, sizeof buf);
    name = buf;
    id = std::this_thread::get_id();
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(2s));
  EXPECT_EQ(name, "orsa.test.own");
  EXPECT_NE(id, std::this_thread::get_id());
}

// Run in a child process: leaves blocked workers, queued tasks, armed timers and an unpumped
// main queue behind and exits. The parent checks that the exit is clean and prompt.
TEST(DispatchExit, ChildExitsWithWorkInFlight) {
  if (!std::getenv("ORSA_DISPATCH_EXIT_CHILD")) GTEST_SKIP() << "runs as a child process only";
  // Never destroyed, like any object that a blocked worker may still use at exit.
  static auto* never = new Semaphore();
  for (int i = 0; i < 6; ++i) globalQueue()->async([] { never->wait(); });
  auto q = makeSerialQueue("exit.serial");
  for (int i = 0; i < 100; ++i) q->async([] { std::this_thread::sleep_for(1ms); });
  static auto timer = RepeatingTimer::start(globalQueue(), 1ms, [] {});
  q->asyncAfter(10s, [] {});
  mainQueue()->async([] {});
  std::this_thread::sleep_for(30ms);
  std::exit(0);
}

TEST(DispatchExit, ProcessExitWithWorkInFlightIsClean) {
  char self[4096] = {};
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  auto result =
      orsa::test::runCommand(std::string("ORSA_DISPATCH_EXIT_CHILD=1 '") + self +
                                 "' --gtest_filter=DispatchExit.ChildExitsWithWorkInFlight",
                             30);
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
}
