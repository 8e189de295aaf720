#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

#include "logging/OrsaLogger.h"
#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"

#include <spdlog/details/os.h>
#include <thread>
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using orsa::test::readFile;
using orsa::test::TempDir;

namespace {

std::string unscramble(std::string text) {
  // Lines were scrambled one by one, counting from each line's first byte.
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    size_t stop = end == std::string::npos ? text.size() : end + 1;
    std::string line = text.substr(start, stop - start);
    orsaScrambleLine(line.data(), line.size(), kOrsaLogScrambleKey);
    out += line;
    start = stop;
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

const std::regex kLine(
    R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(trace|debug|info|warning|error|critical)\] \[\d+\] \[\d+\] \[[^\]]*\] .*$)");

std::shared_ptr<OrsaLogger> fileLogger(const std::string& base, size_t maxSize) {
  auto sink = std::make_shared<OrsaRotatingFileSinkMt>(base, maxSize, kOrsaLogBackupFiles);
  auto logger = std::make_shared<OrsaLogger>(spdlog::sinks_init_list{sink});
  logger->set_level(spdlog::level::debug);
  logger->set_encrypt_key(kOrsaLogScrambleKey);
  return logger;
}

}  // namespace

TEST(OrsaLogFormatter, LineShapeTagAndLocation) {
  OrsaLogFormatter f;
  spdlog::memory_buf_t buf;
  const char* file = "Demo.m";
  OrsaLogMsg msg(1215, spdlog::level::info, file, 42, "[OrsaPreviewView] x");
  f.format(msg, buf);
  std::string line(buf.data(), buf.size());
  ASSERT_EQ(line.back(), '\n');
  line.pop_back();
  EXPECT_TRUE(std::regex_match(line, kLine)) << line;
  EXPECT_NE(line.find("] [info] ["), std::string::npos);
  const std::string tail = " [1215] [Demo.m:42] [OrsaPreviewView] x";
  ASSERT_GE(line.size(), tail.size());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);

  // Line 0 means no location at all, even with a file name.
  buf.clear();
  OrsaLogMsg noLoc(2025, spdlog::level::err, file, 0, "m");
  f.format(noLoc, buf);
  std::string l2(buf.data(), buf.size());
  EXPECT_NE(l2.find("] [error] ["), std::string::npos);
  EXPECT_NE(l2.find(" [2025] [] m\n"), std::string::npos) << l2;

  // The thread field is this thread's id, the same for every line of the thread.
  buf.clear();
  OrsaLogMsg again(1, spdlog::level::warn, file, 1, "y");
  f.format(again, buf);
  std::smatch m1, m2;
  std::string l3(buf.data(), buf.size());
  std::regex tid(R"(\] \[(\d+)\] \[)");
  ASSERT_TRUE(std::regex_search(line, m1, tid));
  ASSERT_TRUE(std::regex_search(l3, m2, tid));
  EXPECT_EQ(m1[1], m2[1]);
  EXPECT_EQ(std::stoull(m1[1]), static_cast<unsigned long long>(spdlog::details::os::thread_id()));
}

TEST(OrsaLogScramble, KeepsLineFeedsAndBytesThatWouldVanish) {
  // 'v' at position 0 would become 0x00; '|' (0x7C = 'v' ^ 0x0A) would become a line feed.
  std::string s = "v|e\n";
  std::string t = s;
  orsaScrambleLine(t.data(), t.size(), "vqe");
  EXPECT_EQ(t[0], 'v');
  EXPECT_EQ(t[1], static_cast<char>('|' ^ 'q'));
  EXPECT_EQ(t[2], 'e');  // equals the key byte at position 2
  EXPECT_EQ(t[3], '\n');

  std::string zeros("\0\0\n", 3);
  std::string z = zeros;
  orsaScrambleLine(z.data(), z.size(), "vqe");
  EXPECT_EQ(z, zeros);

  std::string empty = "abc";
  orsaScrambleLine(empty.data(), empty.size(), "");
  EXPECT_EQ(empty, "abc");
}

TEST(OrsaLogScramble, MatchesTheBytewiseRuleForAnyLengthAndKey) {
  auto reference = [](std::string s, const std::string& key) {
    for (size_t i = 0; i < s.size(); ++i) {
      auto b = static_cast<unsigned char>(s[i]);
      auto x = static_cast<unsigned char>(b ^ static_cast<unsigned char>(key[i % key.size()]));
      if (b != 0 && b != '\n' && x != 0 && x != '\n') s[i] = static_cast<char>(x);
    }
    return s;
  };
  std::mt19937 rng(11);
  for (const std::string key : {"vqe", "abcde", "k", "0123456789abcdef"}) {
    for (size_t len = 0; len < 200; ++len) {
      std::string s(len, '\0');
      for (auto& c : s)
        c = static_cast<char>(rng() % 4 == 0 ? key[rng() % key.size()] ^ '\n' : rng());
      std::string t = s;
      orsaScrambleLine(t.data(), t.size(), key);
      ASSERT_EQ(t, reference(s, key)) << "key " << key << " length " << len;
    }
  }
}

TEST(OrsaLogScramble, IsItsOwnInverseAndNeverMakesLineFeeds) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::string s(1 + rng() % 300, '\0');
    for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
    std::string t = s;
    orsaScrambleLine(t.data(), t.size(), kOrsaLogScrambleKey);
    for (size_t i = 0; i < s.size(); ++i) {
      EXPECT_EQ(s[i] == '\n', t[i] == '\n') << "position " << i;
      EXPECT_EQ(s[i] == '\0', t[i] == '\0') << "position " << i;
    }
    orsaScrambleLine(t.data(), t.size(), kOrsaLogScrambleKey);
    ASSERT_EQ(t, s);
  }
}

TEST(OrsaRotatingFileSink, FileNamesSplitAtTheLastDot) {
  EXPECT_EQ(OrsaRotatingFileSinkMt::fileName("/a.b/logs/OrsaLog.txt", 1), "/a.b/logs/OrsaLog1.txt");
  EXPECT_EQ(OrsaRotatingFileSinkMt::fileName("/x/OrsaLog.txt", 4), "/x/OrsaLog4.txt");
}

TEST(OrsaRotatingFileSink, WritesScrambledLinesThatReadBack) {
  TempDir dir;
  const std::string base = dir.str() + "/OrsaLog.txt";
  {
    auto logger = fileLogger(base, kOrsaLogMaxFileSize);
    logger->write(1215, QMXLogLevelInfo, "Demo.m", 42, "[OrsaPreviewView] x");
    logger->write(7, QMXLogLevelDebug, "", 0, "plain vqe text");
    logger->write(7, QMXLogLevelTrace, "", 0, "below the level");
    logger->flush();
  }
  std::string raw = readFile(dir.path() / "OrsaLog1.txt");
  EXPECT_EQ(raw.find("OrsaPreviewView"), std::string::npos) << "file must not be plain text";
  auto text = lines(unscramble(raw));
  ASSERT_EQ(text.size(), 2u);
  EXPECT_TRUE(std::regex_match(text[0], kLine));
  EXPECT_NE(text[0].find("[1215] [Demo.m:42] [OrsaPreviewView] x"), std::string::npos);
  EXPECT_NE(text[1].find("[debug]"), std::string::npos);
  EXPECT_NE(text[1].find("[7] [] plain vqe text"), std::string::npos);
}

TEST(OrsaRotatingFileSink, RotatesAtTheLimitWithHeadInfoAndKeepsThreeBackups) {
  TempDir dir;
  const std::string base = dir.str() + "/OrsaLog.txt";
  auto file = [&](int n) { return dir.path() / ("OrsaLog" + std::to_string(n) + ".txt"); };
  const size_t limit = 600;
  {
    auto logger = fileLogger(base, limit);
    logger->set_headinfo("9.9.9");
    int written = 0;
    // Five files' worth of lines: file 4 must be replaced by former file 3, no file 5.
    while (written < 40) {
      logger->write(1215, QMXLogLevelInfo, "R.cpp", 1, "line " + std::to_string(written++));
    }
    logger->flush();
  }
  ASSERT_TRUE(fs::exists(file(1)));
  ASSERT_TRUE(fs::exists(file(2)));
  ASSERT_TRUE(fs::exists(file(3)));
  ASSERT_TRUE(fs::exists(file(4)));
  EXPECT_FALSE(fs::exists(file(5)));

  std::vector<int> numbers;  // every line number, oldest file first
  for (int n = 4; n >= 1; --n) {
    auto raw = readFile(file(n));
    EXPECT_LE(raw.size(), limit);
    auto ls = lines(unscramble(raw));
    ASSERT_FALSE(ls.empty());
    // Each rotated-in file starts with the head-info line: level info, tag 0, no location.
    EXPECT_NE(ls[0].find("[info]"), std::string::npos);
    EXPECT_NE(ls[0].find(" [0] [] 9.9.9"), std::string::npos) << ls[0];
    for (size_t i = 1; i < ls.size(); ++i) {
      auto p = ls[i].find("line ");
      ASSERT_NE(p, std::string::npos) << ls[i];
      numbers.push_back(std::stoi(ls[i].substr(p + 5)));
    }
  }
  // Consecutive and ending with the last line: nothing lost inside the kept window, and the
  // line that overflowed a file is the first line of the next one.
  ASSERT_FALSE(numbers.empty());
  for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
  EXPECT_EQ(numbers.back(), 39);
}

TEST(OrsaRotatingFileSink, FailedRenameTruncatesFileOneAndKeepsLogging) {
  TempDir dir;
  const std::string base = dir.str() + "/OrsaLog.txt";
  // Non-empty directories in the backup places cannot be removed or renamed over (this also
  // holds for root, unlike permissions).
  for (int n = 2; n <= 4; ++n)
    fs::create_directories(dir.path() / ("OrsaLog" + std::to_string(n) + ".txt") / "blocker");
  std::string errors;
  {
    auto logger = fileLogger(base, 300);
    logger->set_error_handler([&](const std::string& msg) { errors += msg + "\n"; });
    for (int i = 0; i < 12; ++i)
      logger->write(1, QMXLogLevelInfo, "F.cpp", 3, "entry " + std::to_string(i));
    logger->flush();
  }
  EXPECT_NE(errors.find("rotating_file_sink: failed renaming"), std::string::npos) << errors;
  auto ls = lines(unscramble(readFile(dir.path() / "OrsaLog1.txt")));
  ASSERT_FALSE(ls.empty());
  EXPECT_NE(ls.back().find("entry 11"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(dir.path() / "OrsaLog2.txt"));
}

TEST(OrsaLoggerWrapper, PendingLinesAreWrittenFirstAndInOrder) {
  TempDir dir;
  OrsaLoggerWrapper w;
  w.writeLog(1215, 10, QMXLogLevelInfo, "A.cpp", "first");
  w.writeLog(1215, 11, QMXLogLevelWarning, "B.cpp", "second; with a semicolon");
  w.writeLog(2025, 0, QMXLogLevelError, "", "third without a file");
  EXPECT_FALSE(w.hasLogger());
  w.init("1.2.3", dir.str());
  ASSERT_TRUE(w.hasFileSink());
  w.writeLog(1215, 12, QMXLogLevelInfo, "C.cpp", "fourth");
  w.init("other", dir.str());  // a second init changes nothing
  w.flush();

  EXPECT_TRUE(fs::exists(dir.path() / "OrsaLog.txt"));
  EXPECT_EQ(fs::file_size(dir.path() / "OrsaLog.txt"), 0u);
  auto ls = lines(unscramble(readFile(dir.path() / "OrsaLog1.txt")));
  ASSERT_EQ(ls.size(), 5u);
  EXPECT_NE(ls[0].find(" [0] [] 1.2.3"), std::string::npos);
  EXPECT_NE(ls[1].find("[info] ["), std::string::npos);
  EXPECT_NE(ls[1].find("[1215] [A.cpp:10] first"), std::string::npos);
  EXPECT_NE(ls[2].find("[warning]"), std::string::npos);
  EXPECT_NE(ls[2].find("[B.cpp:11] second; with a semicolon"), std::string::npos);
  EXPECT_NE(ls[3].find("[2025] [] third without a file"), std::string::npos);
  EXPECT_NE(ls[4].find("[C.cpp:12] fourth"), std::string::npos);
  for (auto& l : ls) EXPECT_TRUE(std::regex_match(l, kLine)) << l;
}

TEST(OrsaLoggerWrapper, UnwritableDirectoryMeansConsoleOnly) {
  TempDir dir;
  OrsaLoggerWrapper w;
  testing::internal::CaptureStdout();
  w.init("1.0", (dir.path() / "missing" / "deeper").string());
  w.writeLog(1, 5, QMXLogLevelError, "E.cpp", "still reported");
  w.writeLog(1, 6, QMXLogLevelInfo, "E.cpp", "info stays off the console");
  w.flush();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(w.hasLogger());
  EXPECT_FALSE(w.hasFileSink());
  EXPECT_NE(out.find("[error]"), std::string::npos);
  EXPECT_NE(out.find("[E.cpp:5] still reported"), std::string::npos);
  EXPECT_EQ(out.find("info stays off"), std::string::npos);
}

TEST(OrsaLoggerWrapper, SplitBehavesLikeStrtok) {
  using V = std::vector<std::string>;
  EXPECT_EQ(OrsaLoggerWrapper::split("a;b;;c;", ";"), (V{"a", "b", "c"}));
  EXPECT_EQ(OrsaLoggerWrapper::split(";;", ";"), V{});
  EXPECT_EQ(OrsaLoggerWrapper::split("", ";"), V{});
  EXPECT_EQ(OrsaLoggerWrapper::split("x,y;z", ",;"), (V{"x", "y", "z"}));
}

TEST(OrsaLoggerWrapper, ConcurrentWritersNeverInterleaveWithinALine) {
  TempDir dir;
  OrsaLoggerWrapper w;
  w.init("", dir.str());
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        w.writeLog(1215, i + 1, QMXLogLevelInfo, "T.cpp",
                   "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
                       std::string(static_cast<size_t>(i % 50), 'x'));
    });
  }
  for (auto& t : ts) t.join();
  w.flush();
  auto ls = lines(unscramble(readFile(dir.path() / "OrsaLog1.txt")));
  ASSERT_EQ(ls.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  std::regex body(R"(\[T\.cpp:(\d+)\] thread (\d) line (\d+) x*$)");
  for (auto& l : ls) {
    ASSERT_TRUE(std::regex_match(l, kLine)) << l;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(l, m, body)) << l;
    int t = std::stoi(m[2]);
    int i = std::stoi(m[3]);
    EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
    EXPECT_EQ(std::stoi(m[1]), i + 1);
  }
}
