#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>

#include "logging/OrsaLogger.h"
#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/HostInfo.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace {

// One container for the whole process: the facade starts its file logger once.
orsa::test::TempDir* gHome = nullptr;

class LogHomeEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    gHome = new orsa::test::TempDir();
    orsa::platform::AppContainer::setRoot(gHome->str());
    orsa::platform::HostInfo::setShortVersion("4.5.6");
  }
  void TearDown() override {
    delete gHome;
    gHome = nullptr;
  }
};

const auto* const kEnv = testing::AddGlobalTestEnvironment(new LogHomeEnvironment);

std::string logText() {
  OrsaLoggerWrapper::getInstance().flush();
  std::string raw =
      orsa::test::readFile(fs::path(QMXLogUtil::sharedInstance().logDirectory()) / "OrsaLog1.txt");
  std::string out;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\n', start);
    size_t stop = end == std::string::npos ? raw.size() : end + 1;
    std::string line = raw.substr(start, stop - start);
    orsaScrambleLine(line.data(), line.size(), kOrsaLogScrambleKey);
    out += line;
    start = stop;
  }
  return out;
}

// The console writes on a thread of its own: wait for it before looking.
std::string capturedStderr() {
  orsa::platform::consoleFlush();
  return testing::internal::GetCapturedStderr();
}

size_t count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(QMXLogUtil, StartsInTheContainerWithTheHostVersion) {
  auto& log = QMXLogUtil::sharedInstance();
  EXPECT_EQ(log.logDirectory(), gHome->str() + "/Library/Caches/OrsaMirelo/logs");
  EXPECT_TRUE(fs::is_directory(log.logDirectory()));
  EXPECT_TRUE(OrsaLoggerWrapper::getInstance().hasFileSink());
  EXPECT_NE(logText().find("] [info] ["), std::string::npos);
  EXPECT_NE(logText().find(" [0] [] 4.5.6\n"), std::string::npos);
}

TEST(QMXLogUtil, InfoGoesToConsoleAndFileWithModuleAndFileName) {
  testing::internal::CaptureStderr();
  QMXLogUtil::sharedInstance().logTraceInfo("OrsaPreviewView", "/a/b/Demo.m", "f", 42, 1215,
                                            "x %s=%d", std::string("k"), 7);
  std::string err = capturedStderr();
  EXPECT_EQ(err, "[OrsaPreviewView] x k=7\n");
  EXPECT_NE(logText().find("] [info] ["), std::string::npos);
  EXPECT_NE(logText().find("[1215] [Demo.m:42] [OrsaPreviewView] x k=7\n"), std::string::npos);
}

TEST(QMXLogUtil, ErrorSkipsTheSystemConsoleButReachesStdoutAndFile) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  ORSA_LOG_ERROR("ResourceManager", "unzip failed: %s", "disk full");
  std::string err = capturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(err.find("unzip failed"), std::string::npos);
  EXPECT_NE(out.find("[error]"), std::string::npos);
  EXPECT_NE(out.find("[QMXLogUtilTest.cpp:"), std::string::npos);
  EXPECT_NE(out.find("[ResourceManager] unzip failed: disk full"), std::string::npos);
  EXPECT_NE(logText().find("[ResourceManager] unzip failed: disk full"), std::string::npos);
}

TEST(QMXLogUtil, SampledLinesOnlyEvery120th) {
  testing::internal::CaptureStderr();
  for (uint64_t n : {0ull, 1ull, 119ull, 120ull, 121ull, 240ull})
    ORSA_LOG_SAMP("OrsaPreviewView", n, "sampled-%llu", static_cast<unsigned long long>(n));
  std::string err = capturedStderr();
  EXPECT_EQ(err,
            "[OrsaPreviewView] sampled-0\n[OrsaPreviewView] sampled-120\n"
            "[OrsaPreviewView] sampled-240\n");
  auto text = logText();
  EXPECT_EQ(count(text, "sampled-0\n"), 1u);
  EXPECT_EQ(count(text, "sampled-120\n"), 1u);
  EXPECT_EQ(
      count(text, "sampled-1\n") + count(text, "sampled-119\n") + count(text, "sampled-121\n"), 0u);
}

TEST(QMXLogUtil, TraceMsgLevelsAndDebugLines) {
  testing::internal::CaptureStderr();
  QMXLogUtil::sharedInstance().logTraceMsg(5, "loud-five");
  QMXLogUtil::sharedInstance().logTraceMsg(4, "file-four");
  QMXLogUtil::sharedInstance().logTreaceMsg(4, "never-anywhere");
  ORSA_LOG_DEBUG("Mod", "dbg %d", 1);
  std::string err = capturedStderr();
  EXPECT_NE(err.find("logTraceMsg:loud-five\n"), std::string::npos);
  EXPECT_EQ(err.find("file-four"), std::string::npos);
  EXPECT_NE(err.find("filter=Mod, file=" __FILE__ ", msg=dbg 1\n"), std::string::npos);
  auto text = logText();
  EXPECT_EQ(text.find("loud-five"), std::string::npos);
  EXPECT_NE(text.find("] [error] ["), std::string::npos);
  EXPECT_NE(text.find("[2025] [] file-four\n"), std::string::npos);
  EXPECT_EQ(text.find("never-anywhere"), std::string::npos);
  EXPECT_EQ(text.find("dbg 1"), std::string::npos);
}

TEST(QMXLogUtil, BadFormatsNeverCrash) {
  testing::internal::CaptureStderr();
  ORSA_LOG_INFO("Mod", "%s %s %d", "only one");
  ORSA_LOG_WARN("Mod", "%n%n%n");
  std::string err = capturedStderr();
  EXPECT_NE(err.find("[Mod] %s %s %d\n"), std::string::npos);
  EXPECT_NE(err.find("[Mod] %n%n%n\n"), std::string::npos);
}

TEST(QMXLogUtil, CacheInfoRecordsAreAppendedInTheFixedZone) {
  const fs::path file = fs::path(QMXLogUtil::sharedInstance().logDirectory()) / "OrsaMirelo.txt";
  fs::remove(file);
  testing::internal::CaptureStderr();
  ORSA_LOG_CACHE_INFO("hit %s", "first");
  ORSA_LOG_CACHE_INFO("hit %s", "second");
  std::string err = capturedStderr();
  EXPECT_EQ(err, "hit first\nhit second\n");
  std::string text = orsa::test::readFile(file);
  std::regex shape(
      R"(^(\d{4}-\d{2}-\d{2} (\d{2}):\d{2}:\d{2}\.\d{3})\nhit first(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\nhit second$)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, shape)) << text;
  // UTC+8 whatever the machine's zone: compare the hour with UTC shifted by eight hours.
  std::time_t now = std::time(nullptr) + 8 * 3600;
  std::tm tm{};
  gmtime_r(&now, &tm);
  int hour = std::stoi(m[2]);
  EXPECT_TRUE(hour == tm.tm_hour || (hour + 1) % 24 == tm.tm_hour) << text;
}

namespace {

template <typename... Args>
void expectLikeSprintf(const char* format, const Args&... args) {
  std::string expected;
  try {
    expected = fmt::sprintf(format, args...);
  } catch (const std::exception&) {
    expected = format;
  }
  EXPECT_EQ(QMXLogUtil::format_message(format, args...), expected) << format;
}

}  // namespace

TEST(QMXLogUtil, FormattingMatchesPrintfSemantics) {
  const std::string s = "text";
  expectLikeSprintf("plain");
  expectLikeSprintf("100%% done, %s", s);
  expectLikeSprintf("%s|%s", "a", std::string_view("bc"));
  expectLikeSprintf("%d %i %u", -5, 7, 9u);
  expectLikeSprintf("%d", int64_t{1} << 40);  // truncated to int, as printf does
  expectLikeSprintf("%u", -1);                // reinterpreted as unsigned
  expectLikeSprintf("%lld %llu", int64_t{-1} << 40, uint64_t{1} << 63);
  expectLikeSprintf("%ld %lu %zu", -3L, 3UL, size_t{42});
  expectLikeSprintf("%d", static_cast<int64_t>(INT64_MIN));
  expectLikeSprintf("%lld", static_cast<int64_t>(INT64_MIN));
  expectLikeSprintf("%s", 12);  // an integer through %s
  expectLikeSprintf("%5d|%-3s|%05.1f|%x|%c", 3, "a", 2.25, 255, 'z');
  expectLikeSprintf("%.2f ms", 3.14159);
  expectLikeSprintf("%d %d", 1);  // too few arguments
  expectLikeSprintf("trailing %");
  expectLikeSprintf("%s", static_cast<const char*>(nullptr));
  expectLikeSprintf("%d", true);
}
