#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Console.h"

using orsa::platform::consoleDroppedLines;
using orsa::platform::consoleFlush;
using orsa::platform::consoleWrite;
using orsa::platform::currentMillis;

namespace {

// Points standard error at a pipe for the life of the object.
class StderrPipe {
 public:
  StderrPipe() {
    consoleFlush();
    EXPECT_EQ(pipe(fds_), 0);
    saved_ = dup(STDERR_FILENO);
    dup2(fds_[1], STDERR_FILENO);
  }
  ~StderrPipe() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    close(fds_[0]);
    close(fds_[1]);
  }
  int readEnd() const { return fds_[0]; }
  // Reads whatever is in the pipe, until it has been empty for a moment.
  std::string drain() {
    fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    std::string out;
    char buf[65536];
    int idle = 0;
    while (idle < 20) {
      ssize_t n = read(fds_[0], buf, sizeof(buf));
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        idle = 0;
      } else {
        ++idle;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return out;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

}  // namespace

TEST(Console, LinesFromManyThreadsStayWholeAndInOrderPerThread) {
  StderrPipe pipe;
  std::string out;
  std::thread reader([&] { out = pipe.drain(); });
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        consoleWrite("t" + std::to_string(t) + " " + std::to_string(i) + " " +
                     std::string(static_cast<size_t>(i % 40), '.'));
    });
  for (auto& t : ts) t.join();
  consoleFlush();
  reader.join();
  std::vector<int> next(kThreads, 0);
  size_t start = 0, lines = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = out.substr(start, end - start);
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(line.size(), line.find(' ', 3) + 1 + static_cast<size_t>(i % 40)) << line;
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

TEST(Console, AStuckConsoleNeverBlocksTheCallerAndDropsAreReported) {
  StderrPipe pipe;  // nobody reads until the end: the pipe fills after 64 KiB
  const uint64_t droppedBefore = consoleDroppedLines();
  const std::string line(200, 'x');
  const int64_t t0 = currentMillis();
  for (int i = 0; i < 40000; ++i) consoleWrite(line);  // 8 MB, twice what may wait
  const int64_t spent = currentMillis() - t0;
  EXPECT_LT(spent, 5000) << "callers must not wait for the console";
  EXPECT_GT(consoleDroppedLines(), droppedBefore);

  std::string out;
  std::thread reader([&] { out = pipe.drain(); });
  consoleWrite("after the jam");
  consoleFlush();
  reader.join();
  EXPECT_NE(out.find("lines dropped: the console did not keep up\n"), std::string::npos);
  EXPECT_NE(out.find("after the jam\n"), std::string::npos);
}
