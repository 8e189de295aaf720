#include "platform/WorkerPool.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

#include "platform/Console.h"

namespace orsa::platform {

void runTaskGuarded(const Task& task) noexcept {
  if (!task) return;
  try {
    task();
  } catch (const std::exception& e) {
    consoleWrite(std::string("dispatch: a task ended with an exception: ") + e.what());
  } catch (...) {
    consoleWrite("dispatch: a task ended with an unknown exception");
  }
}

void setCurrentThreadName(const std::string& name) {
  std::string shortName = name.substr(0, 15);
  pthread_setname_np(pthread_self(), shortName.c_str());
}

std::shared_ptr<WorkerPool> WorkerPool::create(Options options) {
  return std::shared_ptr<WorkerPool>(new WorkerPool(std::move(options)));
}

WorkerPool::WorkerPool(Options options) : options_(std::move(options)) {
  if (options_.baseThreads == 0)
    options_.baseThreads = std::max<size_t>(2, std::thread::hardware_concurrency());
  if (options_.maxThreads == 0)
    options_.maxThreads = std::max<size_t>(64, options_.baseThreads * 4);
  options_.maxThreads = std::max(options_.maxThreads, options_.baseThreads);
  if (options_.growAfter.count() < 1) options_.growAfter = std::chrono::milliseconds(1);
  lastProgress_ = std::chrono::steady_clock::now();
}

// Threads hold the pool, so by now they have all left.
WorkerPool::~WorkerPool() = default;

bool WorkerPool::submit(QoS qos, Task task) {
  std::unique_lock lock(mutex_);
  if (shutdown_) return false;
  auto level = std::clamp<size_t>(static_cast<size_t>(qos), 0, kLevels - 1);
  if (pending_ == 0) lastProgress_ = std::max(lastProgress_, std::chrono::steady_clock::now());
  queues_[level].push_back(std::move(task));
  ++pending_;
  if (pending_ <= idle_) {
    workCv_.notify_one();
  } else if (threads_ < options_.baseThreads) {
    spawnLocked();
  } else if (!supervisorRunning_) {
    // The supervisor is started with the first saturation; it watches for stalls from then on.
    supervisorRunning_ = true;
    try {
      std::thread([self = shared_from_this()] { self->supervisorMain(); }).detach();
    } catch (const std::system_error& e) {
      supervisorRunning_ = false;
      consoleWrite(std::string("dispatch: cannot start the pool supervisor: ") + e.what());
    }
  } else {
    superCv_.notify_one();
  }
  return true;
}

void WorkerPool::spawnLocked() {
  try {
    std::thread([self = shared_from_this()] { self->workerMain(); }).detach();
  } catch (const std::system_error& e) {
    consoleWrite(std::string("dispatch: cannot start a worker thread: ") + e.what());
    return;
  }
  ++threads_;
  peak_ = std::max(peak_, threads_);
}

Task WorkerPool::popLocked() {
  for (size_t level = kLevels; level-- > 0;) {
    if (!queues_[level].empty()) {
      Task task = std::move(queues_[level].front());
      queues_[level].pop_front();
      --pending_;
      return task;
    }
  }
  return nullptr;
}

void WorkerPool::workerMain() {
  setCurrentThreadName(options_.name);
  std::unique_lock lock(mutex_);
  auto hasWork = [this] { return shutdown_ || pending_ > 0; };
  for (;;) {
    if (shutdown_) break;
    if (pending_ > 0) {
      Task task = popLocked();
      lastProgress_ = std::chrono::steady_clock::now();
      ++busy_;
      lock.unlock();
      runTaskGuarded(task);
      // Captures die outside the lock: their destructors may submit again.
      task = nullptr;
      lock.lock();
      --busy_;
      continue;
    }
    ++idle_;
    if (threads_ > options_.baseThreads) {
      bool woken = workCv_.wait_for(lock, options_.retireAfter, hasWork);
      if (!woken && threads_ > options_.baseThreads) {
        --idle_;
        break;
      }
    } else {
      workCv_.wait(lock, hasWork);
    }
    --idle_;
  }
  --threads_;
  exitCv_.notify_all();
}

void WorkerPool::supervisorMain() {
  setCurrentThreadName(options_.name + ".sup");
  std::unique_lock lock(mutex_);
  while (!shutdown_) {
    if (pending_ == 0) {
      superCv_.wait(lock);
      continue;
    }
    if (idle_ > 0) {
      // An idle thread is about to take a job; look again once it had time to.
      superCv_.wait_for(lock, options_.growAfter);
      continue;
    }
    auto now = std::chrono::steady_clock::now();
    auto stalledFor = now - lastProgress_;
    if (stalledFor >= options_.growAfter) {
      if (threads_ < options_.maxThreads) {
        spawnLocked();
        // The new thread counts as progress; the next one waits for another stall.
        lastProgress_ = now;
      } else {
        superCv_.wait_for(lock, options_.growAfter);
      }
      continue;
    }
    superCv_.wait_for(lock, options_.growAfter - stalledFor);
  }
  supervisorRunning_ = false;
  exitCv_.notify_all();
}

WorkerPool::Stats WorkerPool::stats() const {
  std::lock_guard lock(mutex_);
  Stats s;
  s.threads = threads_;
  s.idle = idle_;
  s.busy = busy_;
  s.pending = pending_;
  s.peakThreads = peak_;
  s.baseThreads = options_.baseThreads;
  s.maxThreads = options_.maxThreads;
  return s;
}

bool WorkerPool::shutdown(std::chrono::milliseconds grace) {
  std::unique_lock lock(mutex_);
  shutdown_ = true;
  workCv_.notify_all();
  superCv_.notify_all();
  return exitCv_.wait_for(lock, grace, [this] { return threads_ == 0 && !supervisorRunning_; });
}

}  // namespace orsa::platform
