#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>

#include "logging/OrsaLogReader.h"
#include "logging/OrsaLogger.h"
#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/HostInfo.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using orsa::test::consoleOf;

namespace {

// One container for the whole process: the facade starts its file logger once.
const orsa::test::TempDir gHome;

QMXLogUtil& facade() {
  static QMXLogUtil& log = []() -> QMXLogUtil& {
    orsa::platform::AppContainer::setRoot(gHome.str());
    orsa::platform::HostInfo::setShortVersion("4.5.6");
    testing::internal::CaptureStdout();  // the head-info line on the logger's console sink
    auto& log = QMXLogUtil::sharedInstance();
    testing::internal::GetCapturedStdout();
    return log;
  }();
  return log;
}

std::string logText() {
  OrsaLoggerWrapper::getInstance().flush();
  return orsaUnscrambleLog(orsa::test::readFile(fs::path(facade().logDirectory()) / "OrsaLog1.txt"),
                           kOrsaLogScrambleKey);
}

}  // namespace

TEST(QMXLogUtil, EachCallReachesConsoleAndFileAsItsLevelSaysAndNeverStandardOutput) {
  auto& log = facade();
  const fs::path cacheInfo = fs::path(log.logDirectory()) / "OrsaMirelo.txt";
  fs::remove(cacheInfo);
  EXPECT_EQ(log.logDirectory(), gHome.str() + "/Library/Caches/OrsaMirelo/logs");
  EXPECT_EQ(logText().substr(24, 8) + logText().substr(logText().find('\n') - 13, 14),
            "] [info] [0] [] 4.5.6\n");  // the head-info line with the host's version
  testing::internal::CaptureStdout();    // the host's: nothing may reach it
  const std::string console = consoleOf([&] {
    log.logTraceInfo("OrsaPreviewView", "/a/b/Demo.m", "f", 42, 1215, "x %s=%d", std::string("k"),
                     7);
    ORSA_LOG_ERROR("ResourceManager", "unzip failed: %s", "disk full");
    for (uint64_t n : {0, 1, 119, 120, 121, 240})
      ORSA_LOG_SAMP("V", n, "samp-%d", static_cast<int>(n));
    log.logTraceMsg(5, "loud-five");
    log.logTraceMsg(4, "file-four");
    log.logTreaceMsg(4, "never-anywhere");
    ORSA_LOG_DEBUG("Mod", "dbg %d", 1);
    ORSA_LOG_INFO("Mod", "%s %s %d", "only one");  // bad formats print as they are
    ORSA_LOG_WARN("Mod", "%n%n%n");
    ORSA_LOG_CACHE_INFO("hit %s", "first");  // creates the file
    ORSA_LOG_CACHE_INFO("hit %s", "second");
  });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // Info and warning lines are echoed as logged; errors come from the logger's console sink,
  // with the record's prefix.
  EXPECT_TRUE(std::regex_match(console, std::regex(R"(\[OrsaPreviewView\] x k=7
\[.{23}\] \[error\] \[\d+\] \[1215\] \[QMXLogUtilTest\.cpp:\d+\] \[ResourceManager\] unzip failed: disk full
\[V\] samp-0
\[V\] samp-120
\[V\] samp-240
logTraceMsg:loud-five
\[.{23}\] \[error\] \[\d+\] \[2025\] \[\] file-four
filter=Mod, file=.*QMXLogUtilTest\.cpp, msg=dbg 1
\[Mod\] %s %s %d
\[Mod\] %n%n%n
hit first
hit second
)"))) << console;
  const std::string text = logText();
  for (const char* s : {"] [1215] [Demo.m:42] [OrsaPreviewView] x k=7\n",
                        "] [1215] [QMXLogUtilTest.cpp:", "samp-0\n", "samp-120\n", "samp-240\n",
                        "] [error] [", "] [2025] [] file-four\n", "[Mod] %s %s %d\n"})
    EXPECT_NE(text.find(s), std::string::npos) << s;
  for (const char* s :
       {"samp-1\n", "samp-119\n", "samp-121\n", "loud-five", "never-anywhere", "dbg 1"})
    EXPECT_EQ(text.find(s), std::string::npos) << s;
  // Cache-info records: date in UTC+8 whatever the machine's zone, a line feed, the message.
  std::time_t now = std::time(nullptr) + 8 * 3600;
  std::tm tm{};
  gmtime_r(&now, &tm);
  const std::string date = R"(\d{4}-\d\d-\d\d )" +
                           fmt::format("({:02}|{:02})", tm.tm_hour, (tm.tm_hour + 23) % 24) +
                           R"(:\d\d:\d\d\.\d{3}\n)";
  EXPECT_TRUE(std::regex_match(orsa::test::readFile(cacheInfo),
                               std::regex(date + "hit first" + date + "hit second")))
      << orsa::test::readFile(cacheInfo);
}

TEST(QMXLogUtil, FormattingMatchesPrintfSemantics) {
  auto expectLikeSprintf = [](const char* format, const auto&... args) {
    std::string expected = format;
    try {
      expected = fmt::sprintf(format, args...);
    } catch (const std::exception&) {
    }
    EXPECT_EQ(QMXLogUtil::format_message(format, args...), expected) << format;
  };
  // Conversions of the fast path: an int64 through %d keeps its size and -1 through %u is
  // reinterpreted, as fmt's printf does.
  expectLikeSprintf("100%% done, %s|%s|%s|%d %i %u|%d|%u|%lld %llu|%ld %lu %zu|%d|%lld",
                    std::string("text"), "a", std::string_view("bc"), -5, 7, 9u, int64_t{1} << 40,
                    -1, int64_t{-1} << 40, uint64_t{1} << 63, -3L, 3UL, size_t{42}, INT64_MIN,
                    INT64_MIN);
  expectLikeSprintf("%s", 12);  // an integer through %s
  expectLikeSprintf("%5d|%-3s|%05.1f|%x|%c|%.2f ms", 3, "a", 2.25, 255, 'z', 3.14159);
  expectLikeSprintf("%d %d", 1);  // too few arguments
  expectLikeSprintf("trailing %");
  expectLikeSprintf("%s", static_cast<const char*>(nullptr));
  expectLikeSprintf("%d", true);
}
