#include <filesystem>

#include "support/TestSupport.h"
#include "support/ZipWriter.h"

namespace fs = std::filesystem;
using namespace orsa::test;

namespace {

std::string quote(const fs::path& p) {
  return "'" + p.string() + "'";
}

class UnzipTool : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "orsa tool not built";
  }
  CommandResult unzip(const std::string& args) {
    return runCommand(orsaToolPath() + " --home " + quote(tmp.path() / "home") + " unzip " + args,
                      120);
  }
  TempDir tmp;
  fs::path zip = tmp.path() / "pkg.zip";
  fs::path dest = tmp.path() / "out";
};

TEST_F(UnzipTool, UnpacksAndHonoursNoOverwrite) {
  ZipWriter w(zip);
  w.file("origin.mp4", std::string(100000, 'm'), false).file("border.png", "png-bytes");
  ASSERT_TRUE(w.close());
  auto r = unzip(quote(zip) + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(dest / "origin.mp4"), std::string(100000, 'm'));
  EXPECT_EQ(readFile(dest / "border.png"), "png-bytes");

  writeFile(dest / "border.png", "local");
  r = unzip(quote(zip) + " " + quote(dest) + " --no-overwrite");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(dest / "border.png"), "local");
  r = unzip(quote(zip) + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(dest / "border.png"), "png-bytes");
}

TEST_F(UnzipTool, EscapingLinkExitsOneWithCodeAndDescription) {
  ZipWriter w(zip);
  w.symlink("evil", "../../etc");
  ASSERT_TRUE(w.close());
  auto r = unzip(quote(zip) + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("-7 Symlink escapes target directory \"~evil -> "), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(fs::symlink_status(dest / "evil")));
}

TEST_F(UnzipTool, PasswordsAndBadArchives) {
  ZipWriter w(zip);
  ZipEntrySpec e;
  e.name = "secret.txt";
  e.data = "hidden";
  e.password = "pw";
  w.add(e);
  ASSERT_TRUE(w.close());
  auto r = unzip(quote(zip) + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("-2 failed to open file in zip file"), std::string::npos) << r.err;
  r = unzip(quote(zip) + " " + quote(dest) + " --password pw");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(readFile(dest / "secret.txt"), "hidden");

  writeFile(tmp.path() / "junk.zip", "not an archive");
  r = unzip(quote(tmp.path() / "junk.zip") + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("-1 failed to open zip file"), std::string::npos) << r.err;

  r = unzip(quote(zip));
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("usage"), std::string::npos);
}

TEST_F(UnzipTool, LargeArchivesReportAFinalLineWhenNotOnATerminal) {
  ZipWriter w(zip);
  for (int i = 0; i < 3; ++i) w.file("part" + std::to_string(i), std::string(12u << 20, 'a' + i));
  ASSERT_TRUE(w.close());
  auto r = unzip(quote(zip) + " " + quote(dest));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("unzip: 3 entries, 36.0 MB"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(fs::file_size(dest / "part2"), 12u << 20);
}

}  // namespace
