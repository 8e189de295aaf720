#include <ctime>

#include "ZipTestUtil.h"
#include "platform/Utf8.h"
#include "utils/zip/ZipNameDecoder.h"

namespace fs = std::filesystem;
using namespace orsa::test;

namespace {

TEST(ZipSupportOps, SanitizedPathResolvesDotSegmentsBelowTheRoot) {
  EXPECT_EQ(VZZipArchive::_sanitizedPath("a/./b"), "a/b");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("../../x"), "x");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("a/b/../../../c"), "c");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("a/b/../c/"), "a/c/");
  // The leading "/" stays: the name is appended to the destination, so it is still below it.
  EXPECT_EQ(VZZipArchive::_sanitizedPath("/abs/x"), "/abs/x");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("/../../abs"), "abs");
  EXPECT_EQ(VZZipArchive::_sanitizedPath(".."), "");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("."), "");
  EXPECT_EQ(VZZipArchive::_sanitizedPath(""), "");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("a/."), "a/");
  // Percent signs and URL delimiters are ordinary characters of a name.
  EXPECT_EQ(VZZipArchive::_sanitizedPath("%2e%2e/q?#x"), "%2e%2e/q?#x");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("..."), "...");
  EXPECT_EQ(VZZipArchive::_sanitizedPath("a..b/..c"), "a..b/..c");
}

TEST(ZipSupportOps, PathPredicates) {
  EXPECT_TRUE(VZZipArchive::_isResourceFork("__MACOSX/._x"));
  EXPECT_FALSE(VZZipArchive::_isResourceFork("a/__MACOSX/._x"));
  EXPECT_FALSE(VZZipArchive::_isResourceFork("__MACOSX"));
  EXPECT_TRUE(VZZipArchive::_isDirectory("d/"));
  EXPECT_FALSE(VZZipArchive::_isDirectory("d"));
  EXPECT_FALSE(VZZipArchive::_isDirectory(""));
}

TEST(ZipSupportOps, MsDosDatesUseTheLocalCalendar) {
  uint32_t d =
      (uint32_t(2023 - 1980) << 25) | (7u << 21) | (15u << 16) | (13u << 11) | (45u << 5) | 29u;
  std::time_t t = std::chrono::system_clock::to_time_t(VZZipArchive::_dateWithMSDOSFormat(d));
  std::tm lt{};
  localtime_r(&t, &lt);
  EXPECT_EQ(lt.tm_year + 1900, 2023);
  EXPECT_EQ(lt.tm_mon + 1, 7);
  EXPECT_EQ(lt.tm_mday, 15);
  EXPECT_EQ(lt.tm_hour, 13);
  EXPECT_EQ(lt.tm_min, 45);
  EXPECT_EQ(lt.tm_sec, 58);
  auto later = VZZipArchive::_dateWithMSDOSFormat(d + 1);
  EXPECT_EQ(later - VZZipArchive::_dateWithMSDOSFormat(d), std::chrono::seconds(2));
}

TEST(ZipSupportOps, Utf8ValidationRejectsMalformedSequences) {
  using orsa::platform::isValidUtf8;
  EXPECT_TRUE(isValidUtf8("plain"));
  EXPECT_TRUE(isValidUtf8("\xe4\xb8\xad\xe6\x96\x87/\xf0\x9f\x98\x80"));
  EXPECT_FALSE(isValidUtf8("\xc0\xaf"));          // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xe0\x80\xaf"));      // overlong "/"
  EXPECT_FALSE(isValidUtf8("\xed\xa0\x80"));      // surrogate
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xe4\xb8"));          // cut short
  EXPECT_FALSE(isValidUtf8("\x80"));
}

TEST(ZipSupportOps, NamesDecodeFromUtf8LegacyEncodingsOrHex) {
  auto decode = [](const std::string& raw) {
    return VZZipArchive::_filenameStringWithCString(raw, 0, 0, raw.size());
  };
  EXPECT_EQ(decode("資源/背景.png"), "資源/背景.png");
  // GBK: 数字人资源包/背景图片.png
  std::string gbk =
      "\xca\xfd\xd7\xd6\xc8\xcb\xd7\xca\xd4\xb4\xb0\xfc/\xb1\xb3\xbe\xb0\xcd\xbc\xc6\xac.png";
  EXPECT_EQ(decode(gbk), "数字人资源包/背景图片.png");
  // Shift-JIS: デジタルヒューマン/背景画像.png
  std::string sjis =
      "\x83\x66\x83\x57\x83\x5e\x83\x8b\x83\x71\x83\x85\x81\x5b\x83\x7d\x83\x93/"
      "\x94\x77\x8c\x69\x89\xe6\x91\x9c.png";
  EXPECT_EQ(decode(sjis), "デジタルヒューマン/背景画像.png");
  // Whatever the detector decides, the result is UTF-8 and never empty.
  std::string noise("\x80\x81\x82\xff", 4);
  std::string out = decode(noise);
  EXPECT_TRUE(orsa::platform::isValidUtf8(out));
  EXPECT_FALSE(out.empty());
  // Only `size` bytes count.
  EXPECT_EQ(VZZipArchive::_filenameStringWithCString("abcdef", 0, 0, 3), "abc");
}

TEST(ZipSupportOps, LegacyNamesAreDecodedDuringUnpacking) {
  ZipScratch s;
  ZipWriter w(s.zip);
  ZipEntrySpec e;
  e.name = "\xca\xfd\xd7\xd6\xc8\xcb\xd7\xca\xd4\xb4\xb0\xfc/\xb1\xb3\xbe\xb0\xcd\xbc\xc6\xac.png";
  e.data = "png";
  e.host = ZipHost::MsDos;
  w.add(e);
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string()));
  EXPECT_EQ(readFile(s.dest / "数字人资源包/背景图片.png"), "png");
}

TEST(ZipSupportOps, EscapeTestComparesResolvedComponents) {
  TempDir t;
  fs::create_directories(t.path() / "dest/sub");
  fs::create_directories(t.path() / "dest_evil");
  fs::create_directory_symlink(t.path() / "dest_evil", t.path() / "dest/hop");
  const std::string root = (t.path() / "dest").string();
  const std::string base = t.path().string();
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory(base + "/dest/sub/x", root));
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory(base + "/dest/sub/../y", root));
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory(base + "/dest", root));
  EXPECT_TRUE(VZZipArchive::_escapesTargetDirectory(base + "/dest_evil/x", root));
  EXPECT_TRUE(VZZipArchive::_escapesTargetDirectory(base + "/dest/../dest_evil", root));
  EXPECT_TRUE(VZZipArchive::_escapesTargetDirectory(base, root));
  EXPECT_TRUE(VZZipArchive::_escapesTargetDirectory("/etc", root));
  // A link on the way counts as where it leads.
  EXPECT_TRUE(VZZipArchive::_escapesTargetDirectory(base + "/dest/hop/x", root));
  // The root is resolved too.
  fs::create_directory_symlink(t.path() / "dest", t.path() / "alias");
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory(base + "/dest/sub", base + "/alias"));
  // A root without components confines nothing.
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory("/etc/passwd", "/"));
  EXPECT_FALSE(VZZipArchive::_escapesTargetDirectory("/etc/passwd", ""));
}

}  // namespace
