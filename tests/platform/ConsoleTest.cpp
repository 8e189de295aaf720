#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Console.h"
#include "support/TestSupport.h"

using namespace orsa::platform;

namespace {

// Standard error into a pipe, with the console echo on, for the life of the object.
struct StderrPipe {
  int fds[2] = {-1, -1}, saved = (consoleFlush(), dup(STDERR_FILENO));
  StderrPipe() {
    EXPECT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    dup2(fds[1], STDERR_FILENO);
    consoleSetEnabled(true);
  }
  ~StderrPipe() {
    consoleSetEnabled(false);
    dup2(saved, STDERR_FILENO);
    for (int fd : {saved, fds[0], fds[1]}) close(fd);
  }
  // What the pipe holds now.
  std::string available() {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;)
      out.append(buf, static_cast<size_t>(n));
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
  const std::string out = pipe.available();
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
  // 12 MB: more than the 4 MB that may wait plus the 4 MB batch the writer is stuck with.
  std::atomic<bool> written{false};
  std::thread caller([&] {
    for (int i = 0; i < 60000; ++i) consoleWrite(std::string(200, 'x'));
    written = true;
  });
  // Nobody reads yet, so a caller that waited for the console would wait for ever.
  EXPECT_TRUE(orsa::test::waitUntil([&] { return written.load(); }))
      << "callers must not wait for the console";
  EXPECT_GT(consoleDroppedLines(), droppedBefore);

  // A reader keeps the pipe moving until everything is written, so the flush ends however slow
  // the machine.
  std::string out;
  std::atomic<bool> flushed{false};
  std::thread reader([&] {
    for (bool last = false; !last; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
      last = flushed;
      out += pipe.available();
    }
  });
  caller.join();
  consoleWrite("after the jam");
  consoleFlush();
  flushed = true;
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
  auto r = orsa::test::runChild("ExitWithAStuckConsole", {}, 30);
  EXPECT_EQ(r.exitCode, 0) << "killed after 30 s: the exit waited for the console";
}
