// The main of every test program. A program started with ORSA_TEST_CHILD=<name> runs that
// child entry instead of its tests, so child processes never show up as (skipped) test cases.
// Tests run with the library's console echo off: the log files still record everything, and a
// test that checks console lines turns the echo on for itself. FFmpeg's own complaints about
// the damaged media some tests feed it are silenced too.

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/Console.h"
#include "support/TestSupport.h"

namespace orsa::test {

static std::map<std::string, int (*)()>& children() {
  static std::map<std::string, int (*)()> registry;
  return registry;
}

ChildEntry::ChildEntry(const char* name, int (*entry)()) {
  children()[name] = entry;
}

}  // namespace orsa::test

int main(int argc, char** argv) {
  // llvmpipe otherwise takes every core, and timings of GL tests vary with the machine.
  setenv("LP_NUM_THREADS", "2", 0);
  if (const char* name = std::getenv("ORSA_TEST_CHILD")) {
    auto& registry = orsa::test::children();
    auto it = registry.find(name);
    if (it == registry.end()) {
      std::fprintf(stderr, "no child entry named %s\n", name);
      return 127;
    }
    std::exit(it->second());
  }
  // Off unless a test turns it on, and then with every line, which some tests read.
  orsa::platform::consoleSetEnabled(false);
  orsa::platform::consoleSetLevel(orsa::platform::kConsoleDebug);
  av_log_set_level(AV_LOG_QUIET);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
