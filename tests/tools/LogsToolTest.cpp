#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "logging/OrsaLogger.h"
#include "logging/QMXLogUtil.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using orsa::test::runCommand;
using orsa::test::TempDir;

namespace {

std::string orsaCmd(const TempDir& home, const std::string& args) {
  return orsa::test::orsaToolPath() + " --home " + home.str() + " " + args;
}

// Every line of the text, each checked against the line format.
void expectLineShape(const std::string& text) {
  static const std::regex kLine(
      R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(info|warning|error|debug)\] \[\d+\] \[\d+\] \[[^\]]*\] .*$)");
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) EXPECT_TRUE(std::regex_match(l, kLine)) << l;
}

}  // namespace

TEST(OrsaLogsTool, ReadContract) {
  TempDir home;
  auto none = runCommand(orsaCmd(home, "logs read"));
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("orsa: no log files in "), std::string::npos) << none.err;
  auto usage = runCommand(orsaCmd(home, "logs rewind"));
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("usage: orsa logs read"), std::string::npos) << usage.err;

  // A refused configuration logs an error through the library.
  auto bad = runCommand(orsaCmd(home, "config decode '!!!'"));
  ASSERT_EQ(bad.exitCode, 1) << bad.err;
  EXPECT_TRUE(bad.out.empty()) << "log echo must stay off standard output: " << bad.out;
  const fs::path logs = home.path() / "Library/Caches/OrsaMirelo/logs";
  EXPECT_EQ(orsa::test::readFile(logs / "OrsaLog1.txt").find("base64"), std::string::npos)
      << "the file itself is scrambled";
  auto read = runCommand(orsaCmd(home, "logs read"));
  ASSERT_EQ(read.exitCode, 0) << read.err;
  expectLineShape(read.out);
  // The head-info line first, with the tool's version as the host version.
  EXPECT_EQ(read.out.find("] [info] ["), 24u) << read.out;
  EXPECT_LT(read.out.find(" [0] [] " ORSA_LIBRARY_VERSION "\n"), read.out.find('\n') + 1);
  EXPECT_TRUE(std::regex_search(read.out,
                                std::regex(R"(\[error\] \[\d+\] \[1215\] .*base64 decode failed)")))
      << read.out;
}

TEST(OrsaLogsTool, RecordsReadBackWholeAndOldestFileFirst) {
  TempDir home;
  const fs::path logs = home.path() / "Library/Caches/OrsaMirelo/logs";
  fs::create_directories(logs);
  // Line feeds inside a record, at key positions that differ from a record's start.
  const std::string tricky = "seq 5 first\n\tindented\tcolumn\nGrüße, 日本語 ✓\n";
  {
    auto sink = std::make_shared<OrsaRotatingFileSinkMt>((logs / "OrsaLog.txt").string(), 400,
                                                         kOrsaLogBackupFiles);
    OrsaLogger logger({sink});
    logger.set_level(spdlog::level::debug);
    logger.set_encrypt_key(kOrsaLogScrambleKey);
    for (int i = 0; i < 12; ++i)
      logger.write(1215, QMXLogLevelInfo, "Seq.cpp", 9,
                   i == 5 ? tricky : "seq " + std::to_string(i));
    logger.flush();
  }
  ASSERT_TRUE(fs::exists(logs / "OrsaLog2.txt"));
  auto read = runCommand(orsaCmd(home, "logs read"));
  ASSERT_EQ(read.exitCode, 0) << read.err;
  std::string text = read.out;
  const size_t at = text.find("[Seq.cpp:9] " + tricky + "\n");
  ASSERT_NE(at, std::string::npos) << text;
  text.replace(at, 12 + tricky.size(), "[Seq.cpp:9] seq 5");
  expectLineShape(text);
  std::string expected;
  for (int i = 0; i < 12; ++i) expected += "seq " + std::to_string(i) + ",";
  std::string seen;
  for (size_t p = text.find("] seq "); p != std::string::npos; p = text.find("] seq ", p + 1))
    seen += text.substr(p + 2, text.find('\n', p) - p - 2) + ",";
  EXPECT_EQ(seen, expected) << "oldest file first, nothing missing";
}
