#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "logging/OrsaLogger.h"
#include "logging/QMXLogUtil.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using orsa::test::runOrsa;
using orsa::test::TempDir;

namespace {

// The tool's output without the date and thread fields, which differ from run to run.
std::string withoutDateAndThread(const std::string& text) {
  static const std::regex kHead(
      R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] (\[\w+\]) \[\d+\])");
  return std::regex_replace(text, kHead, "$1$2");
}

}  // namespace

TEST(OrsaLogsTool, ReadContract) {
  TempDir home;
  auto none = runOrsa(home.str(), {"logs", "read"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("orsa: no log files in " + home.str()), std::string::npos) << none.err;
  // A failed decode logs an error through the library.
  ASSERT_EQ(runOrsa(home.str(), {"config", "decode", "!!!"}).exitCode, 1);
  auto read = runOrsa(home.str(), {"logs", "read"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  // The head-info line with the tool's version first, then the library's lines, one per line.
  EXPECT_TRUE(
      std::regex_match(withoutDateAndThread(read.out),
                       std::regex(R"(\[info\] \[0\] \[\] )" ORSA_LIBRARY_VERSION
                                  R"(\n(\[(info|error)\] \[1215\] \[\w+\.cpp:\d+\] .*\n)+)")))
      << read.out;
  EXPECT_NE(read.out.find("] [error] "), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("base64 decode failed\n"), std::string::npos) << read.out;
}

TEST(OrsaLogsTool, RecordsReadBackWholeAndOldestFileFirst) {
  TempDir home;
  const fs::path logs = home.path() / "Library/Caches/OrsaMirelo/logs";
  fs::create_directories(logs);
  // Line feeds inside a record, at key positions that differ from a record's start.
  const std::string tricky = "first\n\tindented\tcolumn\nGrüße, 日本語 ✓\n";
  std::string expected;
  {
    OrsaLogger logger({std::make_shared<OrsaRotatingFileSinkMt>((logs / "OrsaLog.txt").string(),
                                                                400, kOrsaLogBackupFiles)});
    logger.set_level(spdlog::level::debug);
    logger.set_encrypt_key(kOrsaLogScrambleKey);
    for (int i = 0; i < 12; ++i) {
      const std::string message = "seq " + std::to_string(i) + (i == 5 ? tricky : "");
      logger.write(1215, QMXLogLevelInfo, "Seq.cpp", 9, message);
      expected += "[info] [1215] [Seq.cpp:9] " + message + "\n";
    }
    logger.flush();
  }
  ASSERT_TRUE(fs::exists(logs / "OrsaLog2.txt"));
  auto read = runOrsa(home.str(), {"logs", "read"});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(withoutDateAndThread(read.out), expected);
}
