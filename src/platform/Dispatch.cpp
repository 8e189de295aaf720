#include "platform/Dispatch.h"

#include <algorithm>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/Console.h"
#include "platform/WorkerPool.h"

namespace orsa::platform {
namespace {

using SteadyClock = std::chrono::steady_clock;
namespace asio = boost::asio;

// The queues the calling thread is running tasks of, innermost first. A thread can be on
// several at once: a task of one queue that runs another queue's sync block inline.
struct QueueFrame {
  const DispatchQueue* queue;
  QueueFrame* outer;
};
thread_local QueueFrame* tlsFrames = nullptr;

class QueueScope {
 public:
  explicit QueueScope(const DispatchQueue* queue) : frame_{queue, tlsFrames} {
    tlsFrames = &frame_;
  }
  ~QueueScope() { tlsFrames = frame_.outer; }
  QueueScope(const QueueScope&) = delete;
  QueueScope& operator=(const QueueScope&) = delete;

 private:
  QueueFrame frame_;
};

bool onQueue(const DispatchQueue* queue) {
  for (QueueFrame* f = tlsFrames; f; f = f->outer)
    if (f->queue == queue) return true;
  return false;
}

// One thread that owns every delay: timers wait here and hand their task to the target queue
// when due, so a delay never occupies a worker. Never destroyed: threads may still arm timers
// while the process exits.
class TimerService {
 public:
  static TimerService& instance() {
    static TimerService* service = [] {
      auto* s = new TimerService();
      started().store(true);
      return s;
    }();
    return *service;
  }

  // Stops the timer thread if it was ever started.
  static void stopIfStarted() {
    if (started().load()) instance().stop();
  }

  asio::io_context& context() { return context_; }

  void scheduleAt(SteadyClock::time_point when, Task fire) {
    asio::post(context_, [this, when, fire = std::move(fire)]() mutable {
      auto timer = std::make_shared<asio::steady_timer>(context_, when);
      timer->async_wait([timer, fire = std::move(fire)](const boost::system::error_code& ec) {
        if (!ec) runTaskGuarded(fire);
      });
    });
  }

  void stop() { context_.stop(); }

 private:
  static std::atomic<bool>& started() {
    static std::atomic<bool> flag{false};
    return flag;
  }

  TimerService() : guard_(asio::make_work_guard(context_)) {
    try {
      std::thread([this] {
        setCurrentThreadName("orsa.timers");
        for (;;) {
          try {
            context_.run();
            return;
          } catch (const std::exception& e) {
            consoleWrite(std::string("dispatch: timer thread: ") + e.what(), kConsoleWarning);
          }
        }
      }).detach();
    } catch (const std::system_error& e) {
      consoleWrite(std::string("dispatch: cannot start the timer thread: ") + e.what(),
                   kConsoleWarning);
    }
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

void scheduleOn(std::shared_ptr<DispatchQueue> queue, std::chrono::milliseconds delay, Task task) {
  auto when = SteadyClock::now() + std::max(delay, std::chrono::milliseconds(0));
  TimerService::instance().scheduleAt(when,
                                      [queue = std::move(queue), task = std::move(task)]() mutable {
                                        queue->async(std::move(task));
                                      });
}

// ---- main queue ----

// Who drains the main queue: one thread at a time, re-entrant for that thread. Built on a
// condition variable rather than a timed mutex, whose timed lock sanitizers cannot follow.
class DrainLock {
 public:
  bool try_lock_until(SteadyClock::time_point deadline) {
    std::unique_lock lock(mutex_);
    auto self = std::this_thread::get_id();
    if (depth_ > 0 && owner_ == self) {
      ++depth_;
      return true;
    }
    if (!cv_.wait_until(lock, deadline, [this] { return depth_ == 0; })) return false;
    owner_ = self;
    depth_ = 1;
    return true;
  }
  bool try_lock() { return try_lock_until(SteadyClock::time_point::min()); }
  void lock() {
    std::unique_lock lock(mutex_);
    auto self = std::this_thread::get_id();
    if (!(depth_ > 0 && owner_ == self)) cv_.wait(lock, [this] { return depth_ == 0; });
    owner_ = self;
    ++depth_;
  }
  void unlock() {
    std::lock_guard lock(mutex_);
    if (--depth_ == 0) {
      owner_ = std::thread::id();
      cv_.notify_all();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
};

struct MainState {
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> guard{asio::make_work_guard(context)};
  DrainLock drainMutex;
  std::atomic<bool> stopRequested{false};
  int depth = 0;  // nesting of drain calls; guarded by drainMutex
};

MainState& mainState() {
  static MainState* state = new MainState();  // lives past static destruction on purpose
  return *state;
}

thread_local int tlsMainDepth = 0;

// Holds the drain lock for one drain call and marks the thread as the main thread.
class DrainScope {
 public:
  explicit DrainScope(MainState& s) : state_(s) {
    ++state_.depth;
    ++tlsMainDepth;
    // restart() is only allowed with no drain call in progress: the outermost one does it.
    if (state_.depth == 1 && state_.context.stopped()) state_.context.restart();
  }
  ~DrainScope() {
    --tlsMainDepth;
    --state_.depth;
  }
  DrainScope(const DrainScope&) = delete;
  DrainScope& operator=(const DrainScope&) = delete;

 private:
  MainState& state_;
};

class MainQueue final : public DispatchQueue, public std::enable_shared_from_this<MainQueue> {
 public:
  void async(Task task) override {
    asio::post(mainState().context, [this, task = std::move(task)] {
      QueueScope scope(this);
      runTaskGuarded(task);
    });
  }
  void asyncAfter(std::chrono::milliseconds delay, Task task) override {
    scheduleOn(shared_from_this(), delay, std::move(task));
  }
  bool isCurrent() const override { return tlsMainDepth > 0; }
  const std::string& label() const override { return label_; }

 private:
  std::string label_ = "main";
};

// ---- worker pool queues ----

class PoolQueue final : public DispatchQueue, public std::enable_shared_from_this<PoolQueue> {
 public:
  PoolQueue(std::shared_ptr<WorkerPool> pool, QoS qos, std::string label)
      : pool_(std::move(pool)), qos_(qos), label_(std::move(label)) {}

  void async(Task task) override {
    // The queue's address only tells isCurrent apart; it is never followed.
    pool_->submit(qos_, [self = static_cast<const DispatchQueue*>(this), task = std::move(task)] {
      QueueScope scope(self);
      runTaskGuarded(task);
    });
  }
  void asyncAfter(std::chrono::milliseconds delay, Task task) override {
    scheduleOn(shared_from_this(), delay, std::move(task));
  }
  bool isCurrent() const override { return onQueue(this); }
  const std::string& label() const override { return label_; }

 protected:
  // Tasks of a concurrent queue run side by side anyway: the caller's thread serves.
  void syncFromOutside(const Task& task) override {
    QueueScope scope(this);
    runTaskGuarded(task);
  }

 private:
  std::shared_ptr<WorkerPool> pool_;
  QoS qos_;
  std::string label_;
};

// ---- serial queues ----

class SerialQueue final : public DispatchQueue, public std::enable_shared_from_this<SerialQueue> {
 public:
  SerialQueue(std::shared_ptr<WorkerPool> pool, std::string label, QoS qos)
      : pool_(std::move(pool)), label_(std::move(label)), qos_(qos) {}

  void async(Task task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
    if (!scheduled_) {
      scheduled_ = true;
      scheduleDrain();
    }
  }
  void asyncAfter(std::chrono::milliseconds delay, Task task) override {
    scheduleOn(shared_from_this(), delay, std::move(task));
  }
  bool isCurrent() const override { return onQueue(this); }
  const std::string& label() const override { return label_; }

 protected:
  // The caller's thread runs the block once everything queued before it is done, while the
  // queue's own worker holds the queue's turn; so the block sees both its own queue and the
  // caller's queue as current and may sync back without deadlock.
  void syncFromOutside(const Task& task) override {
    // Shared: the side that wakes up last may still be inside the semaphore when the other
    // side has already returned.
    auto reached = std::make_shared<Semaphore>();
    auto done = std::make_shared<Semaphore>();
    async([reached, done] {
      reached->signal();
      done->wait();
    });
    reached->wait();
    {
      QueueScope scope(this);
      runTaskGuarded(task);
    }
    done->signal();
  }

 private:
  static constexpr int kBatch = 16;

  // Called with mutex_ held.
  void scheduleDrain() {
    bool queued = pool_->submit(qos_, [self = shared_from_this()] { self->drain(); });
    if (!queued) scheduled_ = false;  // the pool is shutting down: the tasks stay unrun
  }

  void drain() {
    QueueScope scope(this);
    // A batch at a time, then back into the pool, so one busy queue cannot hold a worker
    // forever while other queues wait.
    for (int i = 0; i < kBatch; ++i) {
      Task task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
          scheduled_ = false;
          return;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      runTaskGuarded(task);
    }
    std::lock_guard lock(mutex_);
    if (tasks_.empty()) {
      scheduled_ = false;
    } else {
      scheduleDrain();
    }
  }

  std::shared_ptr<WorkerPool> pool_;
  std::string label_;
  QoS qos_;
  std::mutex mutex_;
  std::deque<Task> tasks_;
  bool scheduled_ = false;
};

// ---- repeating timers ----

struct TimerState : std::enable_shared_from_this<TimerState> {
  std::shared_ptr<DispatchQueue> queue;
  std::chrono::milliseconds interval{0};
  Task task;
  std::atomic<bool> cancelled{false};
  // A firing is queued or running; ticks that come meanwhile are merged into it.
  std::atomic<bool> inFlight{false};
  // Touched only on the timer thread.
  std::unique_ptr<asio::steady_timer> timer;
  SteadyClock::time_point next;

  void arm() {
    timer->expires_at(next);
    timer->async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (ec || self->cancelled.load()) {
        self->timer.reset();  // breaks the state -> timer -> handler -> state cycle
        return;
      }
      self->fire();
      self->next += self->interval;
      auto now = SteadyClock::now();
      // After a long stall, start counting again from now rather than firing a burst.
      if (self->next < now) self->next = now + self->interval;
      self->arm();
    });
  }

  void fire() {
    if (inFlight.exchange(true)) return;
    queue->async([self = shared_from_this()] {
      if (!self->cancelled.load()) runTaskGuarded(self->task);
      self->inFlight.store(false);
    });
  }

  void cancel() {
    if (cancelled.exchange(true)) return;
    asio::post(TimerService::instance().context(), [self = shared_from_this()] {
      if (self->timer) self->timer->cancel();
    });
  }
};

class RepeatingTimerHandle final : public RepeatingTimer {
 public:
  explicit RepeatingTimerHandle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  ~RepeatingTimerHandle() override { state_->cancel(); }
  void cancel() override { state_->cancel(); }

 private:
  std::shared_ptr<TimerState> state_;
};

// Stops the shared threads when the process exits: queued tasks are dropped, running ones get
// a short grace period so that they do not race the destruction of other static objects.
struct ExitGuard {
  std::shared_ptr<WorkerPool> pool;
  ~ExitGuard() {
    pool->shutdown(std::chrono::milliseconds(250));
    TimerService::stopIfStarted();
  }
};

}  // namespace

// ---- DispatchQueue ----

void DispatchQueue::sync(const Task& task) {
  if (isCurrent()) {
    runTaskGuarded(task);
    return;
  }
  syncFromOutside(task);
}

void DispatchQueue::syncFromOutside(const Task& task) {
  auto done = std::make_shared<Semaphore>();
  async([&task, done] {
    runTaskGuarded(task);
    done->signal();
  });
  done->wait();
}

// ---- pool and queues ----

std::shared_ptr<WorkerPool> sharedWorkerPool() {
  static std::shared_ptr<WorkerPool>* pool = [] {
    WorkerPool::Options options;
    options.name = "orsa.pool";
    return new std::shared_ptr<WorkerPool>(WorkerPool::create(options));
  }();
  static ExitGuard guard{*pool};
  return *pool;
}

std::shared_ptr<DispatchQueue> makePoolQueue(std::shared_ptr<WorkerPool> pool, QoS qos,
                                             const std::string& label) {
  return std::make_shared<PoolQueue>(std::move(pool), qos, label);
}

std::shared_ptr<DispatchQueue> makeSerialQueueOn(std::shared_ptr<WorkerPool> pool,
                                                 const std::string& label, QoS qos) {
  return std::make_shared<SerialQueue>(std::move(pool), label, qos);
}

std::shared_ptr<DispatchQueue> mainQueue() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(std::make_shared<MainQueue>());
  return *queue;
}

std::shared_ptr<DispatchQueue> globalQueue(QoS qos) {
  static auto* queues = [] {
    auto pool = sharedWorkerPool();
    static const char* const labels[] = {"orsa.global.background", "orsa.global.utility",
                                         "orsa.global.default", "orsa.global.user-initiated",
                                         "orsa.global.user-interactive"};
    auto* q = new std::shared_ptr<DispatchQueue>[5];
    for (int i = 0; i < 5; ++i) q[i] = makePoolQueue(pool, static_cast<QoS>(i), labels[i]);
    return q;
  }();
  auto index = static_cast<int>(qos);
  if (index < 0 || index > 4) index = static_cast<int>(QoS::Default);
  return queues[index];
}

std::shared_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QoS qos) {
  return makeSerialQueueOn(sharedWorkerPool(), label, qos);
}

void runOnOwnThread(const std::string& name, Task task) {
  auto shared = std::make_shared<Task>(std::move(task));
  try {
    std::thread([name, shared] {
      setCurrentThreadName(name);
      runTaskGuarded(*shared);
    }).detach();
  } catch (const std::system_error& e) {
    consoleWrite(std::string("dispatch: cannot start thread ") + name + ": " + e.what() +
                     "; running it on the worker pool",
                 kConsoleWarning);
    globalQueue(QoS::Default)->async([shared] { runTaskGuarded(*shared); });
  }
}

// ---- MainLoop ----

void MainLoop::run() {
  auto& s = mainState();
  std::lock_guard lock(s.drainMutex);
  DrainScope scope(s);
  while (!s.stopRequested.exchange(false)) {
    if (s.context.stopped()) {
      if (s.depth != 1) return;  // a nested run() cannot restart the loop under its caller
      s.context.restart();
    }
    try {
      s.context.run();
    } catch (const std::exception& e) {
      consoleWrite(std::string("dispatch: main loop: ") + e.what(), kConsoleWarning);
    }
  }
}

void MainLoop::stop() {
  auto& s = mainState();
  s.stopRequested.store(true);
  s.context.stop();
}

size_t MainLoop::poll() {
  auto& s = mainState();
  std::unique_lock lock(s.drainMutex, std::defer_lock);
  if (!lock.try_lock()) return 0;
  DrainScope scope(s);
  try {
    return s.context.poll();
  } catch (const std::exception& e) {
    consoleWrite(std::string("dispatch: main loop: ") + e.what(), kConsoleWarning);
    return 0;
  }
}

size_t MainLoop::runFor(std::chrono::milliseconds duration) {
  auto& s = mainState();
  auto deadline = SteadyClock::now() + duration;
  std::unique_lock lock(s.drainMutex, std::defer_lock);
  if (!lock.try_lock_until(deadline)) return 0;
  DrainScope scope(s);
  size_t ran = 0;
  while (SteadyClock::now() < deadline) {
    if (s.context.stopped()) break;
    try {
      ran += s.context.run_until(deadline);
    } catch (const std::exception& e) {
      consoleWrite(std::string("dispatch: main loop: ") + e.what(), kConsoleWarning);
    }
  }
  return ran;
}

bool MainLoop::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto& s = mainState();
  auto deadline = SteadyClock::now() + timeout;
  std::unique_lock lock(s.drainMutex, std::defer_lock);
  if (!lock.try_lock_until(deadline)) return pred();
  DrainScope scope(s);
  // The predicate may turn true without any main-queue task (a worker sets a flag), so it is
  // looked at between tasks and at least every few milliseconds.
  constexpr auto kSlice = std::chrono::milliseconds(5);
  while (!pred()) {
    auto now = SteadyClock::now();
    if (now >= deadline || s.context.stopped()) break;
    try {
      s.context.run_one_until(std::min(deadline, now + kSlice));
    } catch (const std::exception& e) {
      consoleWrite(std::string("dispatch: main loop: ") + e.what(), kConsoleWarning);
    }
  }
  return pred();
}

bool MainLoop::isMainThread() {
  return tlsMainDepth > 0;
}

// ---- Semaphore ----

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  int64_t count = 0;
};

Semaphore::Semaphore(int64_t initial) : state_(std::make_unique<State>()) {
  state_->count = initial;
}

Semaphore::~Semaphore() = default;

void Semaphore::signal() {
  // Notified under the lock, so a waiter cannot return (and free the semaphore) between the
  // increment and the notification.
  std::lock_guard lock(state_->mutex);
  ++state_->count;
  state_->cv.notify_one();
}

void Semaphore::wait() {
  std::unique_lock lock(state_->mutex);
  state_->cv.wait(lock, [this] { return state_->count > 0; });
  --state_->count;
}

bool Semaphore::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(state_->mutex);
  auto deadline = SteadyClock::now() + timeout;
  if (!state_->cv.wait_until(lock, deadline, [this] { return state_->count > 0; })) return false;
  --state_->count;
  return true;
}

// ---- RepeatingTimer ----

std::shared_ptr<RepeatingTimer> RepeatingTimer::start(std::shared_ptr<DispatchQueue> queue,
                                                      std::chrono::milliseconds interval,
                                                      Task task) {
  auto state = std::make_shared<TimerState>();
  state->queue = queue ? std::move(queue) : globalQueue();
  // A zero interval would spin the timer thread.
  state->interval = std::max(interval, std::chrono::milliseconds(1));
  state->task = std::move(task);
  state->next = SteadyClock::now() + state->interval;
  asio::post(TimerService::instance().context(), [state] {
    if (state->cancelled.load()) return;
    state->timer = std::make_unique<asio::steady_timer>(TimerService::instance().context());
    state->arm();
  });
  return std::make_shared<RepeatingTimerHandle>(std::move(state));
}

}  // namespace orsa::platform
