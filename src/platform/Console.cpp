#include "platform/Console.h"
#include "platform/FileIO.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace orsa::platform {
namespace {

constexpr size_t kMaxQueuedBytes = 4 * 1024 * 1024;
constexpr std::chrono::milliseconds kActivePoll{2};
// At exit, standard error may be a full pipe nobody reads: the process must still end.
constexpr std::chrono::seconds kExitFlushLimit{1};

// Writes as much as the descriptor takes before the deadline; the rest is dropped. Chunks of
// PIPE_BUF never block once poll reports room.
void writeBefore(int fd, const char* data, size_t size,
                 std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return;
    const ssize_t n = ::write(fd, data, std::min<size_t>(size, PIPE_BUF));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

class ConsoleWriter {
 public:
  static ConsoleWriter& instance() {
    // Never destroyed: lines may arrive from other threads while the process exits.
    static ConsoleWriter* writer = [] {
      auto* w = new ConsoleWriter();
      std::atexit([] {
        ConsoleWriter::instance().flushBefore(std::chrono::steady_clock::now() + kExitFlushLimit);
      });
      pthread_atfork([] { ConsoleWriter::instance().mutex_.lock(); },
                     [] { ConsoleWriter::instance().mutex_.unlock(); },
                     [] {
                       // The writer thread does not exist in the child.
                       auto& self = ConsoleWriter::instance();
                       self.running_ = false;
                       self.writing_ = false;
                       self.writerParked_ = false;
                       self.mutex_.unlock();
                     });
      return w;
    }();
    return *writer;
  }

  void write(std::string_view line) {
    std::unique_lock lock(mutex_);
    if (queued_.size() + line.size() + 1 > kMaxQueuedBytes) {
      ++dropped_;
      ++droppedPending_;
      return;
    }
    queued_.append(line);
    queued_.push_back('\n');
    ++queuedSeq_;
    if (!running_) {
      running_ = true;
      std::thread([this] { run(); }).detach();
    } else if (writerParked_) {
      writerParked_ = false;
      wake_.notify_one();
    }
  }

  void flush() { flushBefore(std::nullopt); }

  // Waits until every line queued now is written; with a deadline, gives up then, and what is
  // not written by then is dropped.
  void flushBefore(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    if (!running_) {
      // No writer (not started yet, or we are a forked child): write in place.
      std::string pending;
      pending.swap(queued_);
      writtenSeq_ = queuedSeq_;
      lock.unlock();
      if (deadline)
        writeBefore(STDERR_FILENO, pending.data(), pending.size(), *deadline);
      else
        (void)writeAll(STDERR_FILENO, pending.data(), pending.size());  // nowhere to report
      return;
    }
    const uint64_t target = queuedSeq_;
    auto written = [&] { return writtenSeq_ >= target || !running_; };
    if (deadline)
      drained_.wait_until(lock, *deadline, written);
    else
      drained_.wait(lock, written);
  }

  uint64_t dropped() {
    std::lock_guard lock(mutex_);
    return dropped_;
  }

 private:
  void run() {
    std::string batch;
    std::unique_lock lock(mutex_);
    bool active = false;
    auto hasWork = [&] { return !queued_.empty() || droppedPending_ > 0; };
    for (;;) {
      if (!hasWork()) {
        if (active) {
          // While lines keep coming, poll in short steps instead of being woken for each
          // one: a wake-up per line would cost the logging thread a system call every time.
          wake_.wait_for(lock, kActivePoll, hasWork);
          if (!hasWork()) active = false;
          continue;
        }
        writerParked_ = true;
        wake_.wait(lock, hasWork);
        writerParked_ = false;
      }
      active = true;
      batch.clear();
      batch.swap(queued_);
      if (droppedPending_ > 0) {
        batch += "[console] " + std::to_string(droppedPending_) +
                 " lines dropped: the console did not keep up\n";
        droppedPending_ = 0;
      }
      const uint64_t seq = queuedSeq_;
      writing_ = true;
      lock.unlock();
      (void)writeAll(STDERR_FILENO, batch.data(), batch.size());
      lock.lock();
      writing_ = false;
      writtenSeq_ = seq;
      drained_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::string queued_;
  uint64_t queuedSeq_ = 0;
  uint64_t writtenSeq_ = 0;
  uint64_t dropped_ = 0;
  uint64_t droppedPending_ = 0;
  bool running_ = false;
  bool writing_ = false;
  bool writerParked_ = false;  // waiting without a time limit: a new line must wake it
};

std::atomic<bool> gEnabled{true};
std::atomic<int> gLevel{kConsoleWarning};

}  // namespace

void consoleWrite(std::string_view line, int level) {
  if (gEnabled.load(std::memory_order_relaxed) && level >= gLevel.load(std::memory_order_relaxed))
    ConsoleWriter::instance().write(line);
}

void consoleSetLevel(int level) {
  gLevel.store(level);
}

int consoleLevel() {
  return gLevel.load(std::memory_order_relaxed);
}

void consoleSetEnabled(bool enabled) {
  gEnabled.store(enabled);
}

bool consoleEnabled() {
  return gEnabled.load(std::memory_order_relaxed);
}

void consoleFlush() {
  ConsoleWriter::instance().flush();
}

uint64_t consoleDroppedLines() {
  return ConsoleWriter::instance().dropped();
}

}  // namespace orsa::platform
