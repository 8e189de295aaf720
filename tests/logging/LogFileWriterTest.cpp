#include <gtest/gtest.h>
#include <spdlog/details/os.h>

#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "logging/OrsaLogReader.h"
#include "logging/OrsaLogger.h"
#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"
#include "platform/Console.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using orsa::test::TempDir;

namespace {

// The lines of a log file as text, each checked against the line format.
std::vector<std::string> logLines(const fs::path& file) {
  static const std::regex kLine(
      R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(debug|info|warning|error)\] \[\d+\] \[\d+\] \[[^\]]*\] .*$)");
  std::istringstream in(orsaUnscrambleLog(orsa::test::readFile(file), kOrsaLogScrambleKey));
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l); out.push_back(l))
    EXPECT_TRUE(std::regex_match(l, kLine)) << l;
  return out;
}

std::shared_ptr<OrsaLogger> fileLogger(const TempDir& dir, size_t maxSize) {
  auto sink = std::make_shared<OrsaRotatingFileSinkMt>(dir.str() + "/OrsaLog.txt", maxSize,
                                                       kOrsaLogBackupFiles);
  auto logger = std::make_shared<OrsaLogger>(spdlog::sinks_init_list{sink});
  logger->set_level(spdlog::level::debug);
  logger->set_encrypt_key(kOrsaLogScrambleKey);
  return logger;
}

}  // namespace

TEST(OrsaLogScramble, FollowsTheBytewiseRuleAndIsItsOwnInverse) {
  auto reference = [](std::string s, const std::string& key) {
    for (size_t i = 0; i < s.size() && !key.empty(); ++i) {
      auto b = static_cast<unsigned char>(s[i]);
      auto x = static_cast<unsigned char>(b ^ static_cast<unsigned char>(key[i % key.size()]));
      if (b != 0 && b != '\n' && x != 0 && x != '\n') s[i] = static_cast<char>(x);
    }
    return s;
  };
  std::mt19937 rng(11);
  for (const std::string key : {"vqe", "abcde", "k", "0123456789abcdef", ""}) {
    for (size_t len = 0; len < 200; ++len) {
      std::string plain(len, '\0');  // a quarter of the bytes would scramble to a line feed
      for (auto& c : plain)
        c = static_cast<char>(rng() % 4 || key.empty() ? rng() : key[rng() % key.size()] ^ '\n');
      std::string t = plain;
      orsaScrambleLine(t.data(), t.size(), key);
      ASSERT_EQ(t, reference(plain, key)) << "key " << key << " length " << len;
      orsaScrambleLine(t.data(), t.size(), key);
      ASSERT_EQ(t, plain);
    }
  }
}

TEST(OrsaRotatingFileSink, RotatesAtTheLimitWithHeadInfoKeepsThreeBackupsAndOutlivesABadRename) {
  TempDir dir;
  auto file = [&](int n) { return dir.path() / ("OrsaLog" + std::to_string(n) + ".txt"); };
  EXPECT_EQ(OrsaRotatingFileSinkMt::fileName("/a.b/OrsaLog.txt", 4), "/a.b/OrsaLog4.txt");
  {
    auto logger = fileLogger(dir, 600);
    logger->set_headinfo("9.9.9");
    // Five files' worth of lines: file 4 must be replaced by former file 3, no file 5.
    for (int i = 0; i < 40; ++i)
      logger->write(1215, QMXLogLevelInfo, "R.cpp", 1, "line " + std::to_string(i));
    logger->flush();
  }
  EXPECT_FALSE(fs::exists(file(5)));
  std::vector<int> numbers;  // every line number, oldest file first
  for (int n = 4; n >= 1; --n) {
    EXPECT_LE(fs::file_size(file(n)), 600u);
    auto ls = logLines(file(n));
    // Each rotated-in file starts with the head-info line: level info, tag 0, no location.
    ASSERT_FALSE(ls.empty());
    EXPECT_EQ(ls[0].substr(24, 8) + ls[0].substr(ls[0].size() - 13), "] [info] [0] [] 9.9.9");
    for (size_t i = 1; i < ls.size(); ++i)
      numbers.push_back(std::stoi(ls[i].substr(ls[i].find("] line ") + 7)));
  }
  // Consecutive and ending with the last line: nothing lost inside the kept window, and the
  // line that overflowed a file is the first line of the next one.
  ASSERT_FALSE(numbers.empty());
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
  EXPECT_EQ(numbers.back(), 39);

  // Non-empty folders in the backup places cannot be removed or renamed over (this also holds
  // for root, unlike permissions): the rotation fails, file 1 is truncated and stays in use.
  for (int n = 2; n <= 4; ++n) fs::remove(file(n)), fs::create_directories(file(n) / "x");
  std::string errors;
  {
    auto logger = fileLogger(dir, 300);
    logger->set_error_handler([&](const std::string& msg) { errors += msg + "\n"; });
    for (int i = 0; i < 12; ++i)
      logger->write(1, QMXLogLevelInfo, "F.cpp", 3, "entry " + std::to_string(i));
    logger->flush();
  }
  EXPECT_NE(errors.find("rotating_file_sink: failed renaming"), std::string::npos) << errors;
  auto ls = logLines(file(1));
  ASSERT_FALSE(ls.empty());
  EXPECT_NE(ls.back().find("entry 11"), std::string::npos);
}

TEST(OrsaLoggerWrapper, PendingLinesComeFirstAndRecordsReadBackExactly) {
  TempDir dir;
  OrsaLoggerWrapper w;
  w.writeLog(1215, 10, QMXLogLevelInfo, "A.cpp", "first");
  w.writeLog(1215, 11, QMXLogLevelWarning, "B.cpp", "second; with a semicolon");
  // Line 0: no location. The message's own line feeds come at two key positions, so one at
  // least differs from a record's start.
  w.writeLog(2025, 0, QMXLogLevelError, "Demo.m", "third\nwithout\na location");
  EXPECT_FALSE(w.hasLogger());
  testing::internal::CaptureStdout();  // must stay empty: standard output is the host's
  OrsaLoggerWrapper consoleOnly;
  const std::string out = orsa::test::consoleOf([&] {
    w.init("1.2.3", dir.str());
    w.writeLog(1215, 42, QMXLogLevelInfo, "Demo.m", "[OrsaPreviewView] x");
    w.writeLog(7, 1, QMXLogLevelTrace, "", "below the level");
    w.init("other", dir.str());  // a second init changes nothing
    w.flush();
    // Where no file can be made, the console sink alone reports errors.
    consoleOnly.init("1.0", (dir.path() / "OrsaLog1.txt" / "no folder").string());
    consoleOnly.writeLog(1, 5, QMXLogLevelError, "E.cpp", "still reported");
    consoleOnly.writeLog(1, 6, QMXLogLevelInfo, "E.cpp", "info stays off the console");
  });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(consoleOnly.hasFileSink());
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(\] \[error\] \[\d+\] \[1\] \[E\.cpp:5\] still reported\n$)")))
      << out;
  EXPECT_EQ(fs::file_size(dir.path() / "OrsaLog.txt"), 0u);
  const std::string raw = orsa::test::readFile(dir.path() / "OrsaLog1.txt");
  EXPECT_EQ(raw.find("OrsaPreviewView"), std::string::npos) << "file must not be plain text";
  const std::string text = std::regex_replace(
      orsaUnscrambleLog(raw, kOrsaLogScrambleKey),
      std::regex(R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})"), "$1");  // without dates
  const std::string t = "] [" + std::to_string(spdlog::details::os::thread_id()) + "] [";
  EXPECT_EQ(text, "] [info" + t + "0] [] 1.2.3\n] [info" + t +
                      "1215] [A.cpp:10] first\n] [warning" + t +
                      "1215] [B.cpp:11] second; with a semicolon\n] [error" + t +
                      "2025] [] third\nwithout\na location\n] [info" + t +
                      "1215] [Demo.m:42] [OrsaPreviewView] x\n");
}

TEST(OrsaLoggerWrapper, ConcurrentWritersNeverInterleaveWithinALine) {
  TempDir dir;
  OrsaLoggerWrapper w;
  w.init("", dir.str());
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        w.writeLog(1215, i + 1, QMXLogLevelInfo, "T.cpp",
                   "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                       std::string(i % 50, 'x'));
    });
  for (auto& t : ts) t.join();
  w.flush();
  auto ls = logLines(dir.path() / "OrsaLog1.txt");
  ASSERT_EQ(ls.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (auto& l : ls) {
    const int t = l[l.find("] thread ") + 9] - '0', i = next[t]++;  // each thread's lines in order
    EXPECT_EQ(l.substr(l.find(" [T.cpp:")), " [T.cpp:" + std::to_string(i + 1) + "] thread " +
                                                std::to_string(t) + " line " + std::to_string(i) +
                                                " " + std::string(i % 50, 'x'));
  }
}
