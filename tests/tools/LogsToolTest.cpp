#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

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

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

const std::regex kLine(
    R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(info|warning|error|debug)\] \[\d+\] \[\d+\] \[[^\]]*\] .*$)");

}  // namespace

TEST(OrsaLogsTool, LinesTheLibraryWroteReadBackAsText) {
  TempDir home;
  // Any command that logs through the library will do; a refused configuration logs an error.
  auto bad = runCommand(orsaCmd(home, "config decode '!!!'"));
  ASSERT_EQ(bad.exitCode, 1) << bad.err;
  EXPECT_TRUE(bad.out.empty()) << "log echo must stay off standard output: " << bad.out;

  const fs::path logs = home.path() / "Library/Caches/OrsaMirelo/logs";
  ASSERT_TRUE(fs::exists(logs / "OrsaLog1.txt"));
  EXPECT_EQ(orsa::test::readFile(logs / "OrsaLog1.txt").find("base64"), std::string::npos)
      << "the file itself is scrambled";

  auto read = runCommand(orsaCmd(home, "logs read"));
  ASSERT_EQ(read.exitCode, 0) << read.err;
  auto ls = lines(read.out);
  ASSERT_GE(ls.size(), 2u);
  for (auto& l : ls) EXPECT_TRUE(std::regex_match(l, kLine)) << l;
  // The head-info line carries the tool's version as the host version.
  EXPECT_NE(ls[0].find("[info]"), std::string::npos);
  EXPECT_NE(ls[0].find(" [0] [] " ORSA_LIBRARY_VERSION), std::string::npos) << ls[0];
  bool sawError = false;
  for (auto& l : ls)
    sawError |= l.find("[error]") != std::string::npos && l.find("[1215]") != std::string::npos &&
                l.find("base64 decode failed") != std::string::npos;
  EXPECT_TRUE(sawError) << read.out;
}

TEST(OrsaLogsTool, OldestFileFirst) {
  TempDir home;
  const fs::path logs = home.path() / "Library/Caches/OrsaMirelo/logs";
  fs::create_directories(logs);
  {
    auto sink = std::make_shared<OrsaRotatingFileSinkMt>((logs / "OrsaLog.txt").string(), 400,
                                                         kOrsaLogBackupFiles);
    OrsaLogger logger({sink});
    logger.set_level(spdlog::level::debug);
    logger.set_encrypt_key(kOrsaLogScrambleKey);
    for (int i = 0; i < 12; ++i)
      logger.write(1215, QMXLogLevelInfo, "Seq.cpp", 9, "seq " + std::to_string(i));
    logger.flush();
  }
  ASSERT_TRUE(fs::exists(logs / "OrsaLog2.txt"));
  auto read = runCommand(orsaCmd(home, "logs read"));
  ASSERT_EQ(read.exitCode, 0) << read.err;
  int last = -1;
  for (auto& l : lines(read.out)) {
    ASSERT_TRUE(std::regex_match(l, kLine)) << l;
    auto p = l.find("seq ");
    ASSERT_NE(p, std::string::npos);
    int n = std::stoi(l.substr(p + 4));
    EXPECT_EQ(n, last + 1) << "lines come oldest first, none missing";
    last = n;
  }
  EXPECT_EQ(last, 11);
}

TEST(OrsaLogsTool, EmptyContainerIsAClearError) {
  TempDir home;
  auto read = runCommand(orsaCmd(home, "logs read"));
  EXPECT_EQ(read.exitCode, 1);
  EXPECT_NE(read.err.find("no log files"), std::string::npos) << read.err;
}

TEST(OrsaLogsTool, UnwritableContainerFallsBackToTheConsole) {
  TempDir home;
  // A file where the container's Library folder should be: no log directory can be made.
  orsa::test::writeFile(home.path() / "Library", "not a folder");
  auto run = runCommand(orsaCmd(home, "--verbose config decode '!!!'"));
  EXPECT_EQ(run.exitCode, 1) << run.err;
  EXPECT_NE(run.err.find("base64 decode failed"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("[error]"), std::string::npos) << "the console sink still reports";
  EXPECT_TRUE(fs::is_regular_file(home.path() / "Library"));
}
