#include <iconv.h>
#include <sys/stat.h>

#include <thread>

#include "ZipTestUtil.h"

namespace fs = std::filesystem;
using orsa::platform::Error;
using namespace orsa::test;

namespace {

struct stat statOf(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st;
}

TEST(VZZipUnpack, RoundTripsExactlyInParallelAndOverwritesOnlyWhenAsked) {
  ZipScratch s;
  const std::string big = randomBytes(3 * 1024 * 1024 + 17, 1);  // several copy buffers
  ZipWriter w(s.zip.string());
  for (int i = 0; i < 4; ++i) w.file("d" + std::to_string(i) + "/f.bin", big, i % 2 == 0);
  ASSERT_TRUE(w.file("0", "").close());
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      ok += VZZipArchive::unzipFileAtPath(s.zip.string(), (s.root / std::to_string(t)).string());
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 4);
  for (int t = 0; t < 16; ++t)
    EXPECT_EQ(readFile(s.root / std::to_string(t / 4) / ("d" + std::to_string(t % 4)) / "f.bin"),
              big);
  fs::create_directories(s.dest);
  writeFile(s.dest / "0", "local version");
  Error err;
  ASSERT_TRUE(s.unzip(&err, false));
  EXPECT_EQ(readFile(s.dest / "0"), "local version");
  ASSERT_TRUE(s.unzip(&err, true));
  EXPECT_EQ(readFile(s.dest / "0"), "");  // truncated, not merged
}

TEST(VZZipUnpack, EmptyArchivesSucceedAndFailuresCarryTheirCodes) {
  ZipScratch s;
  ASSERT_TRUE(ZipWriter(s.zip.string()).close());
  const fs::path text = s.root / "text.zip";
  writeFile(text, "this is not a zip archive at all, just some text that is long enough");
  std::vector<std::string> seen;
  auto done = [&](const std::string& p, bool ok, const std::optional<Error>& e) {
    seen.push_back(p + (ok ? " ok" : " failed ") +
                   (e ? e->domain + std::to_string(e->code) + " " + e->description : ""));
  };
  const std::string dest = s.dest.string();
  EXPECT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), dest, nullptr, done));
  if (fs::exists(s.dest)) {
    EXPECT_TRUE(fs::is_empty(s.dest));
  }
  EXPECT_TRUE(VZZipArchive::entriesOfArchiveAtPath(s.zip.string(), nullptr)->empty());
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath("", dest, nullptr, done));
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), "", nullptr, done));
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(text.string(), dest, nullptr, done));
  const std::string domain = VZZipArchiveErrorDomain;
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                s.zip.string() + " ok", " failed " + domain + "-6 received invalid argument(s)",
                " failed " + domain + "-6 received invalid argument(s)",
                text.string() + " failed " + domain + "-1 failed to open zip file"}));
}

TEST(VZZipUnpack, RestoresDatesAndPermissionsWithOwnerAccessAlwaysSet) {
  ZipScratch s;
  ZipWriter w(s.zip.string());
  const uint32_t date =
      (uint32_t(2001 - 1980) << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 7u;
  // Set-uid must not survive; owner read and write always do.
  for (auto [name, host, attrs] : {std::tuple{"bin/run.sh", ZipHost::Unix, 0104755u << 16},
                                   {"ro.txt", ZipHost::Unix, 0100444u << 16},
                                   {"DOS.TXT", ZipHost::MsDos, 0x20u}}) {
    ZipEntry e = entry(name, "#!/bin/sh\n", host);
    e.externalAttributes = attrs;
    e.dosDate = date;
    w.add(e);
  }
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(ZipPatch::set(s.zip, "ro.txt", ZipPatch::kDosDate, 0));
  auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()) - 2;
  Error err;
  ASSERT_TRUE(s.unzip(&err));
  EXPECT_EQ(statOf(s.dest / "bin/run.sh").st_mode & 07777, 0755u);
  EXPECT_EQ(statOf(s.dest / "ro.txt").st_mode & 07777, 0644u);
  EXPECT_EQ(statOf(s.dest / "DOS.TXT").st_mode & 07777, 0600u);
  std::tm local{};  // 2001-03-04 05:06:14 on the local calendar
  std::tie(local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
           local.tm_isdst) = std::tuple(101, 2, 4, 5, 6, 14, -1);
  const time_t expected = std::mktime(&local);
  EXPECT_EQ(statOf(s.dest / "bin/run.sh").st_mtim.tv_sec, expected);
  EXPECT_EQ(statOf(s.dest / "bin").st_mtim.tv_sec, expected);  // latest date of its content
  // Date 0: no date of its own, so the file keeps the time it was written.
  EXPECT_GE(statOf(s.dest / "ro.txt").st_mtim.tv_sec, before);
}

struct RecordingDelegate : VZZipArchiveDelegate {
  std::vector<std::string> events;
  int stopAt = -1;
  void log(const std::string& what, int64_t a, uint64_t b = 0) {
    events.push_back(what + " " + std::to_string(a) + (b ? "/" + std::to_string(b) : ""));
  }
  void zipArchiveWillUnzipArchiveAtPath(const std::string&, const VZZipGlobalInfo& i) override {
    log("will-archive", i.numberOfEntries);
  }
  void zipArchiveProgressEvent(uint64_t loaded, uint64_t total) override {
    log("progress", loaded, total);
  }
  bool zipArchiveShouldUnzipFileAtIndex(int64_t i, int64_t, const std::string&,
                                        const VZZipFileInfo&) override {
    log("should", i);
    return i != stopAt;
  }
  void zipArchiveDidUnzipFileAtIndex(int64_t i, int64_t, const std::string&,
                                     const std::string& path) override {
    log("did-" + fs::path(path).filename().string(), i);
  }
  void zipArchiveDidUnzipArchiveAtPath(const std::string&, const VZZipGlobalInfo&,
                                       const std::string&) override {
    log("did-archive", 0);
  }
};

TEST(VZZipUnpack, ObserverSeesEveryStepInOrderAndMayStop) {
  ZipScratch s;
  ASSERT_TRUE(ZipWriter(s.zip.string()).file("one", "1", false).file("two", "22", false).close());
  const std::string size = std::to_string(fs::file_size(s.zip)), sz = "/" + size;
  RecordingDelegate d;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), &d));
  EXPECT_EQ(d.events,
            (std::vector<std::string>{"will-archive 2", "progress 0" + sz, "should 0",
                                      "progress 1" + sz, "did-one 0", "should 1", "progress 3" + sz,
                                      "did-two 1", "did-archive 0", "progress " + size + sz}));

  fs::remove_all(s.dest);
  RecordingDelegate stop;
  stop.stopAt = 1;
  Error err;
  EXPECT_FALSE(
      VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err, &stop));
  EXPECT_EQ(err.code, 0);  // stopped, not failed
  EXPECT_FALSE(fs::exists(s.dest / "two"));
  EXPECT_EQ(stop.events[stop.events.size() - 2], "should 1");  // no did-archive
}

TEST(VZZipUnpack, PasswordsOpenEncryptedEntriesAndTheFlagTellsProtection) {
  ZipScratch s;
  ZipWriter w(s.zip.string());
  w.file("open.txt", "public");
  const std::string secret = randomBytes(70000, 8), pw = "s3cr\xC3\xA9t";
  for (bool deflate : {true, false}) {
    ZipEntry e = entry(deflate ? "secret.bin" : "stored.bin", secret);
    e.deflate = deflate;
    e.password = pw;
    w.add(e);
  }
  ASSERT_TRUE(w.close());
  // The writer itself is checked against an independent reader.
  auto peer = runProgram({"unzip", "-P", pw, "-tq", s.zip.string()}, {}, 60);
  EXPECT_EQ(peer.exitCode, 0) << peer.out << peer.err;
  Error err;
  EXPECT_TRUE(VZZipArchive::isPasswordValidForArchiveAtPath(s.zip.string(), pw, &err));
  EXPECT_FALSE(VZZipArchive::isPasswordValidForArchiveAtPath(s.zip.string(), "wrong", &err));
  EXPECT_EQ(err.code, -2);
  for (const std::string wrong : {"", "wrong"}) {
    EXPECT_FALSE(s.unzip(&err, true, wrong));
    EXPECT_EQ(err.description, "failed to open file in zip file");
    EXPECT_FALSE(fs::exists(s.dest / "secret.bin"));
  }
  ASSERT_TRUE(s.unzip(&err, true, pw));
  EXPECT_EQ(readFile(s.dest / "open.txt"), "public");
  EXPECT_EQ(readFile(s.dest / "secret.bin"), secret);
  EXPECT_EQ(readFile(s.dest / "stored.bin"), secret);

  // Protection is told by the encryption flag alone, damaged or not.
  const fs::path plain = s.root / "plain.zip", damaged = s.root / "damaged.zip";
  ASSERT_TRUE(ZipWriter(plain.string()).file("a.txt", "a").file("b.bin", secret).close());
  fs::copy_file(plain, damaged);
  ASSERT_TRUE(ZipPatch::set(damaged, "b.bin", ZipPatch::kCentralUncompressedSize, 12345));
  ASSERT_TRUE(ZipPatch::set(s.zip, "secret.bin", ZipPatch::kCentralUncompressedSize, 12345));
  for (auto [zip, locked] :
       {std::pair{s.zip, true}, {plain, false}, {damaged, false}, {s.root / "none.zip", false}})
    EXPECT_EQ(VZZipArchive::isFilePasswordProtectedAtPath(zip.string()), locked) << zip;
}

TEST(VZZipUnpack, ListingAndPayloadSizeReadNamesOfAnyLength) {
  ZipScratch s;
  const std::string longName(5000, 'n');
  ZipWriter w(s.zip.string());
  ASSERT_TRUE(w.file("a", std::string(1000, 'a')).file(longName, "bb", false).close());
  Error err;
  auto entries = VZZipArchive::entriesOfArchiveAtPath(s.zip.string(), &err);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[1].name, longName);
  EXPECT_EQ((*entries)[1].info.uncompressedSize, 2u);
  EXPECT_EQ(VZZipArchive::payloadSizeForArchiveAtPath(s.zip.string(), &err), 1002u);
  EXPECT_EQ(VZZipArchive::_hexString(std::string("\x00\x1f\xab\xff", 4)), "001FABFF");
}

}  // namespace

namespace {

std::string encodeAs(const std::string& utf8, const char* charset) {
  iconv_t cd = iconv_open(charset, "UTF-8");
  std::string out(utf8.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* o = out.data();
  size_t inLeft = utf8.size(), outLeft = out.size();
  size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  EXPECT_NE(r, static_cast<size_t>(-1)) << utf8 << " in " << charset;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

// Names without the UTF-8 flag come in the one code page of the tool that wrote the archive.
// Each set holds names that a detector places wrongly one at a time (as KOI8-R, a Mac code
// page, or UTF-8 that then fails); together they name their code page.
TEST(VZZipUnpack, LegacyNamesOfOneArchiveShareOneEncoding) {
  const struct {
    const char* charset;
    std::vector<std::string> names;
  } cases[] = {
      {"GBK",
       {"文件.txt", "中文名称.txt", "测试目录/数据.bin", "报告.doc", "说明.txt",
        "图片/照片一.jpg"}},
      {"SHIFT_JIS", {"ファイル.txt", "日本語の名前.txt", "テスト/データ.bin", "報告.doc"}},
      {"CP437", {"Ärger.txt", "Übung.txt", "Größe.txt", "café.txt"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.charset);
    ZipScratch s;
    ZipWriter w(s.zip.string());
    std::vector<std::string> expected;
    for (const auto& name : c.names) {
      w.add(entry(encodeAs(name, c.charset), "data of " + name, ZipHost::MsDos));
      expected.push_back(name);
    }
    // UTF-8 names stay as they are, whether flagged or not.
    w.add(entry("naïve.txt", "plain", ZipHost::MsDos));
    ZipEntry flagged = entry("flagged-名前.txt", "flagged");
    flagged.utf8Name = true;
    w.add(flagged);
    expected.push_back("naïve.txt");
    expected.push_back("flagged-名前.txt");
    ASSERT_TRUE(w.close());

    Error err;
    auto entries = VZZipArchive::entriesOfArchiveAtPath(s.zip.string(), &err);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ((*entries)[i].name, expected[i]);
    ASSERT_TRUE(s.unzip(&err)) << err.description;
    for (const auto& name : c.names) EXPECT_EQ(readFile(s.dest / name), "data of " + name) << name;
    EXPECT_EQ(readFile(s.dest / "naïve.txt"), "plain");
  }
}
