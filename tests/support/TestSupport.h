#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace orsa::test {

// A fresh temporary directory, removed with the object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

// A fresh temporary directory that is the app container (AppContainer's root) from its
// construction on; removed with the object.
class TempHome : public TempDir {
 public:
  TempHome();
};

// Checks `done` (at once, then at most 10 ms apart) until it holds or `timeout` passes; returns
// its last answer. Bounds are generous on purpose: two tests share two loaded cores, and then run
// again under ThreadSanitizer. Main-queue callbacks need the main loop run instead
// (MainLoop::runUntil).
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));

// `n` bytes of every value, the same for the same seed.
std::string randomBytes(size_t n, uint32_t seed = 7);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// What `calls` write to the library's console (standard error), with the echo on meanwhile;
// the test main keeps it off otherwise.
std::string consoleOf(const std::function<void()>& calls);

// Path of the built orsa tool (empty when the tool is not built).
std::string orsaToolPath();

struct CommandResult {
  int exitCode = -1;  // -1: killed at the time limit or by a signal
  std::string out;
  std::string err;
};
// Starts a program (looked up in PATH) with these arguments, no shell in between, with extra
// "KEY=value" environment entries; its output goes to the given files (inherited when empty)
// and its input is /dev/null. Returns the pid, or -1.
pid_t spawnProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                   const std::string& outPath = "", const std::string& errPath = "");
// Runs a program to its end, killing it after the time limit, capturing both streams.
CommandResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {}, int timeoutSeconds = 120);

// Runs the orsa tool with the given app container.
CommandResult runOrsa(const std::string& home, std::vector<std::string> args);

// A child-process entry point of a test program (see TestMain.cpp). Define one with
//   ORSA_TEST_CHILD(Name) { ...; return exitCode; }
struct ChildEntry {
  ChildEntry(const char* name, int (*entry)());
};
#define ORSA_TEST_CHILD(name)                                                                    \
  static int orsaTestChild_##name();                                                             \
  static const ::orsa::test::ChildEntry orsaTestChildEntry_##name(#name, &orsaTestChild_##name); \
  static int orsaTestChild_##name()

// Inside a child entry, where there is no test framework: a failed check names itself on
// standard error and ends the child with exit code 1.
#define CHECK(c)                                                                             \
  do {                                                                                       \
    if (!(c)) return std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c), 1; \
  } while (0)

// This test program started, or run to its end, as the named child.
pid_t spawnChild(const std::string& name, const std::vector<std::string>& env = {},
                 const std::string& outPath = "", const std::string& errPath = "");
CommandResult runChild(const std::string& name, const std::vector<std::string>& env = {},
                       int timeoutSeconds = 60);

}  // namespace orsa::test
