#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Console.h"
#include "support/TestSupport.h"

using namespace orsa::platform;

namespace {

// Standard error into a pipe, with the console echo on, for the life of the object.
struct StderrPipe {
  int fds[2] = {-1, -1}, saved = (consoleFlush(), dup(STDERR_FILENO));
  StderrPipe() {
    EXPECT_EQ(pipe(fds), 0);
    dup2(fds[1], STDERR_FILENO);
    consoleSetEnabled(true);
  }
  ~StderrPipe() {
    consoleSetEnabled(false);
    dup2(saved, STDERR_FILENO);
    for (int fd : {saved, fds[0], fds[1]}) close(fd);
  }
  // What comes through the pipe until it has been empty for 100 ms.
  std::string drain() {
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string out;
    char buf[65536];
    for (int idle = 0; idle < 20;
         std::this_thread::sleep_for(std::chrono::milliseconds(idle ? 5 : 0))) {
      const ssize_t n = read(fds[0], buf, sizeof(buf));
      idle = n > 0 ? 0 : idle + 1;
      out.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    return out;
  }
};

}  // namespace

TEST(Console, LinesFromManyThreadsStayWholeAndInOrderPerThread) {
  StderrPipe pipe;  // about 35 KB in all: the pipe holds it without a reader
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
  const std::string out = pipe.drain();
  std::vector<int> next(kThreads, 0);
  std::istringstream in(out);
  size_t lines = 0;
  for (std::string line; std::getline(in, line); ++lines) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "t%d %d", &t, &i), 2) << line;
    EXPECT_EQ(i, next[t]++);
    EXPECT_EQ(line,
              "t" + std::to_string(t) + " " + std::to_string(i) + " " + std::string(i % 40, '.'));
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
  EXPECT_EQ(out.back(), '\n');
}

TEST(Console, AStuckConsoleNeverBlocksTheCallerAndDropsAreReported) {
  StderrPipe pipe;  // nobody reads until the end: the pipe fills after 64 KiB
  const uint64_t droppedBefore = consoleDroppedLines();
  const std::string line(200, 'x');
  const int64_t t0 = currentMillis();
  // 12 MB: more than the 4 MB that may wait plus the 4 MB batch the writer is stuck with.
  for (int i = 0; i < 60000; ++i) consoleWrite(line);
  EXPECT_LT(currentMillis() - t0, 5000) << "callers must not wait for the console";
  EXPECT_GT(consoleDroppedLines(), droppedBefore);

  std::string out;
  std::thread reader([&] { out = pipe.drain(); });
  consoleWrite("after the jam");
  consoleFlush();
  reader.join();
  EXPECT_NE(out.find("lines dropped: the console did not keep up\n"), std::string::npos);
  EXPECT_NE(out.find("after the jam\n"), std::string::npos);
}

// Standard error a pipe that nobody reads, more queued than the pipe holds, then exit.
ORSA_TEST_CHILD(ExitWithAStuckConsole) {
  int fds[2];
  if (pipe(fds) != 0 || dup2(fds[1], STDERR_FILENO) < 0) return 3;
  consoleSetEnabled(true);
  for (int i = 0; i < 2000; ++i) consoleWrite(std::string(200, 'x'));
  return 0;
}

TEST(Console, AProcessExitsPromptlyWithStandardErrorStuck) {
  const int64_t t0 = currentMillis();
  auto r = orsa::test::runChild("ExitWithAStuckConsole", {}, 20);
  EXPECT_EQ(r.exitCode, 0) << "killed after 20 s: the exit waited for the console";
  EXPECT_LT(currentMillis() - t0, 5000);
}
