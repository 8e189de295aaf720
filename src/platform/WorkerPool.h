#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Dispatch.h"

namespace orsa::platform {

// Runs a task, keeping an escaping exception from taking the thread (and the process) down:
// the failure goes to the console instead.
void runTaskGuarded(const Task& task) noexcept;

// Names the calling thread (the kernel keeps 15 characters).
void setCurrentThreadName(const std::string& name);

// A pool of worker threads taking jobs by priority: when several jobs wait, the one of the
// highest QoS goes first, jobs of one QoS in the order they came.
//
// Jobs may block (semaphore waits, network). When jobs wait, no thread is idle and no thread
// has picked up a job for `growAfter`, the pool adds a thread, up to `maxThreads`; threads
// beyond `baseThreads` leave after `retireAfter` without work. Threads are started on demand.
class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
 public:
  struct Options {
    std::string name = "orsa.pool";
    size_t baseThreads = 0;  // 0: the number of cores, at least 2
    size_t maxThreads = 0;   // 0: four times the base, at least 64
    std::chrono::milliseconds growAfter{100};
    std::chrono::milliseconds retireAfter{5000};
  };

  struct Stats {
    size_t threads = 0;  // threads alive
    size_t idle = 0;     // threads waiting for a job
    size_t busy = 0;     // threads running a job
    size_t pending = 0;  // jobs not yet taken
    size_t peakThreads = 0;
    size_t baseThreads = 0;
    size_t maxThreads = 0;
  };

  static std::shared_ptr<WorkerPool> create(Options options);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Queues a job; false (and the job is dropped) once the pool is shut down.
  bool submit(QoS qos, Task task);
  Stats stats() const;

  // Stops handing out jobs (those still queued are kept, never run) and waits up to `grace`
  // for the threads to leave; true when they all did. Running jobs are never interrupted.
  bool shutdown(std::chrono::milliseconds grace);

 private:
  explicit WorkerPool(Options options);
  void spawnLocked();
  void workerMain();
  void supervisorMain();
  Task popLocked();

  static constexpr size_t kLevels = 5;

  Options options_;
  mutable std::mutex mutex_;
  std::condition_variable workCv_;
  std::condition_variable superCv_;
  std::condition_variable exitCv_;
  std::deque<Task> queues_[kLevels];
  size_t pending_ = 0;
  size_t threads_ = 0;
  size_t idle_ = 0;
  size_t busy_ = 0;
  size_t peak_ = 0;
  bool supervisorRunning_ = false;
  bool shutdown_ = false;
  // Last moment the pool made progress: a job was taken, or jobs began to wait.
  std::chrono::steady_clock::time_point lastProgress_;
};

// A queue over `pool` at one priority. Tasks run concurrently; sync runs inline.
std::shared_ptr<DispatchQueue> makePoolQueue(std::shared_ptr<WorkerPool> pool, QoS qos,
                                             const std::string& label);

// A serial queue whose tasks run on `pool`.
std::shared_ptr<DispatchQueue> makeSerialQueueOn(std::shared_ptr<WorkerPool> pool,
                                                 const std::string& label, QoS qos);

// The process-wide pool behind globalQueue().
std::shared_ptr<WorkerPool> sharedWorkerPool();

}  // namespace orsa::platform
