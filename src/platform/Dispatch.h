#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Queues, timers and semaphores the rest of the library is written against. Nothing outside
// src/platform sees what they are built on.
namespace orsa::platform {

using Task = std::function<void()>;

// Priorities of the shared worker pool, highest last.
enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  // Runs task on this queue, after everything already queued (serial queues, main queue) or
  // as soon as a worker is free (the worker pool).
  virtual void async(Task task) = 0;
  // Runs task on this queue no earlier than delay from now.
  virtual void asyncAfter(std::chrono::milliseconds delay, Task task) = 0;
  // True when the calling thread is running a task of this queue.
  virtual bool isCurrent() const = 0;
  virtual const std::string& label() const = 0;
  // Runs task on this queue and waits for it. Runs it inline when already on this queue (also
  // from inside another queue's sync block that this queue is waiting in). A serial queue's
  // sync runs the task on the calling thread once the queue's turn comes; the main queue's
  // runs on the thread draining the main loop, so calling it from a thread that should drain
  // the loop but does not waits for ever.
  void sync(const Task& task);

 protected:
  // How sync reaches this queue from elsewhere. By default: queue the task and wait for it.
  virtual void syncFromOutside(const Task& task);
};

// The queue drained by MainLoop: host-facing callbacks land here.
std::shared_ptr<DispatchQueue> mainQueue();

// The process-wide worker pool. Tasks that block (waits on semaphores, network) must not
// starve it: the pool grows a thread when all of its threads are blocked or busy for long.
std::shared_ptr<DispatchQueue> globalQueue(QoS qos = QoS::Default);

// A new serial queue: tasks run one at a time, in order, on pool threads.
std::shared_ptr<DispatchQueue> makeSerialQueue(const std::string& label, QoS qos = QoS::Default);

// Runs task on a thread of its own (long-running loops, known-blocking waits).
void runOnOwnThread(const std::string& name, Task task);

// The main loop. A host calls run() on its main thread, or pumps it from its own loop.
class MainLoop {
 public:
  // Runs main-queue tasks until stop() is called. A stop() that comes while nobody is in
  // run() is kept: the next run() returns at once (work that ends before the host reaches
  // run() still ends the loop).
  static void run();
  static void stop();
  // Runs ready main-queue tasks without blocking; returns how many ran.
  static size_t poll();
  // Runs main-queue tasks for at most `duration`; returns how many ran.
  static size_t runFor(std::chrono::milliseconds duration);
  // Runs main-queue tasks until pred() is true or timeout passes; returns pred().
  static bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // True on the thread currently draining the main queue. One thread drains at a time: a
  // second thread's poll() returns 0 and its runFor/runUntil wait their time for the first.
  static bool isMainThread();
};

// A counting semaphore with timed waits.
class Semaphore {
 public:
  explicit Semaphore(int64_t initial = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  void signal();
  void wait();
  // False when the timeout passed before a signal.
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A repeating timer on a queue (the worker pool when null). The first firing comes one
// interval after start. Firings never overlap: ticks that come while one is queued or running
// are merged into it. Cancelling (or destroying the handle) stops further firings; a firing
// already running completes.
class RepeatingTimer {
 public:
  static std::shared_ptr<RepeatingTimer> start(std::shared_ptr<DispatchQueue> queue,
                                               std::chrono::milliseconds interval, Task task);
  virtual ~RepeatingTimer() = default;
  virtual void cancel() = 0;
};

}  // namespace orsa::platform
