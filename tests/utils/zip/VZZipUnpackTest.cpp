#include <sys/stat.h>

#include <random>
#include <vector>

#include "ZipTestUtil.h"

namespace fs = std::filesystem;
using orsa::platform::Error;
using namespace orsa::test;

namespace {

std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mode;
}

time_t mtimeOf(const fs::path& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st.st_mtim.tv_sec;
}

TEST(VZZipUnpack, RoundTripsStoredAndDeflatedContentExactly) {
  ZipScratch s;
  std::string big = randomBytes(3 * 1024 * 1024 + 17, 1);  // spans several copy buffers
  std::string text;
  for (int i = 0; i < 200000; ++i) text += "frame " + std::to_string(i) + "\n";
  ZipWriter w(s.zip);
  w.file("origin.mp4", big, false)
      .file("interpolations.json", text, true)
      .directory("frames/")
      .file("frames/a/b/c.bin", big.substr(0, 4097), true)
      .file("empty.txt", "", true);
  ASSERT_TRUE(w.close());
  Error err{"", 0, ""};
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, 0);
  EXPECT_EQ(readFile(s.dest / "origin.mp4"), big);
  EXPECT_EQ(readFile(s.dest / "interpolations.json"), text);
  EXPECT_EQ(readFile(s.dest / "frames/a/b/c.bin"), big.substr(0, 4097));
  EXPECT_TRUE(fs::is_regular_file(s.dest / "empty.txt"));
  EXPECT_EQ(fs::file_size(s.dest / "empty.txt"), 0u);
  EXPECT_TRUE(fs::is_directory(s.dest / "frames"));
}

TEST(VZZipUnpack, EmptyArchiveSucceedsAndCreatesNothing) {
  ZipScratch s;
  ZipWriter w(s.zip);
  ASSERT_TRUE(w.close());
  fs::create_directories(s.dest);
  bool completed = false;
  bool ok = VZZipArchive::unzipFileAtPath(
      s.zip.string(), s.dest.string(), nullptr,
      [&](const std::string& p, bool success, const std::optional<Error>& e) {
        completed = true;
        EXPECT_EQ(p, s.zip.string());
        EXPECT_TRUE(success);
        EXPECT_FALSE(e.has_value());
      });
  EXPECT_TRUE(ok);
  EXPECT_TRUE(completed);
  EXPECT_TRUE(fs::is_empty(s.dest));
}

TEST(VZZipUnpack, ArgumentAndOpenFailuresCarryTheirCodes) {
  ZipScratch s;
  Error err;
  std::optional<Error> seen;
  std::string seenPath = "unset";
  auto completion = [&](const std::string& p, bool success, const std::optional<Error>& e) {
    EXPECT_FALSE(success);
    seen = e;
    seenPath = p;
  };
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath("", s.dest.string(), true, true, 0, "", &err, nullptr,
                                             nullptr, completion));
  EXPECT_EQ(err.domain, VZZipArchiveErrorDomain);
  EXPECT_EQ(err.code, -6);
  EXPECT_EQ(err.description, "received invalid argument(s)");
  ASSERT_TRUE(seen.has_value());
  EXPECT_EQ(seen->code, -6);
  EXPECT_EQ(seenPath, "");
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), "", true, "", &err));
  EXPECT_EQ(err.code, -6);

  writeFile(s.zip, "this is not a zip archive at all, just some text that is long enough");
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, -1);
  EXPECT_EQ(err.description, "failed to open zip file");
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath((s.root / "missing.zip").string(), s.dest.string(),
                                             true, "", &err));
  EXPECT_EQ(err.code, -1);
}

TEST(VZZipUnpack, OverwriteReplacesOrKeepsExistingFiles) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a.txt", "from archive").file("b.txt", "also from archive");
  ASSERT_TRUE(w.close());
  fs::create_directories(s.dest);
  writeFile(s.dest / "a.txt", "local version that is longer than the archived one");

  Error err;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), false, "", &err));
  EXPECT_EQ(readFile(s.dest / "a.txt"), "local version that is longer than the archived one");
  EXPECT_EQ(readFile(s.dest / "b.txt"), "also from archive");

  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(readFile(s.dest / "a.txt"), "from archive");  // truncated, not merged
}

TEST(VZZipUnpack, ResourceForksAreSkippedAndDosSeparatorsConverted) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("__MACOSX/._a.txt", "fork").file("a.txt", "data");
  ZipEntrySpec dos;
  dos.name = "dir\\sub\\f.txt";
  dos.data = "dos";
  dos.host = ZipHost::MsDos;
  w.add(dos);
  ZipEntrySpec ntfs = dos;
  ntfs.name = "nt\\g.txt";
  ntfs.host = ZipHost::Ntfs;
  w.add(ntfs);
  ZipEntrySpec unix = dos;
  unix.name = "back\\slash.txt";
  unix.host = ZipHost::Unix;
  w.add(unix);
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string()));
  EXPECT_FALSE(fs::exists(s.dest / "__MACOSX"));
  EXPECT_EQ(readFile(s.dest / "a.txt"), "data");
  EXPECT_EQ(readFile(s.dest / "dir/sub/f.txt"), "dos");
  EXPECT_EQ(readFile(s.dest / "nt/g.txt"), "dos");
  EXPECT_EQ(readFile(s.dest / "back\\slash.txt"), "dos");
  EXPECT_FALSE(fs::exists(s.dest / "back"));
}

TEST(VZZipUnpack, RestoresDatesAndPermissionsWithOwnerAccessAlwaysSet) {
  ZipScratch s;
  ZipWriter w(s.zip);
  ZipEntrySpec exe;
  exe.name = "bin/run.sh";
  exe.data = "#!/bin/sh\n";
  exe.externalAttributes = unixFileAttributes(04755);  // set-uid must not survive
  exe.dosDate =
      (uint32_t(2001 - 1980) << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 7u;
  w.add(exe);
  ZipEntrySpec ro = exe;
  ro.name = "ro.txt";
  ro.externalAttributes = unixFileAttributes(0444);
  ro.dosDate = 0;
  w.add(ro);
  ZipEntrySpec dosFile = exe;
  dosFile.name = "DOS.TXT";
  dosFile.host = ZipHost::MsDos;
  dosFile.externalAttributes = 0x20;
  w.add(dosFile);
  ASSERT_TRUE(w.close());
  auto before = std::chrono::system_clock::now() - std::chrono::seconds(2);
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string()));

  EXPECT_EQ(modeOf(s.dest / "bin/run.sh") & 07777, 0755u);
  EXPECT_EQ(modeOf(s.dest / "ro.txt") & 07777, 0644u);
  EXPECT_EQ(modeOf(s.dest / "DOS.TXT") & 07777, 0600u);
  auto expected =
      std::chrono::system_clock::to_time_t(VZZipArchive::_dateWithMSDOSFormat(exe.dosDate));
  EXPECT_EQ(mtimeOf(s.dest / "bin/run.sh"), expected);
  // The folder takes the latest date of what it holds.
  EXPECT_EQ(mtimeOf(s.dest / "bin"), expected);
  // Date 0: no date of its own, so the file keeps the time it was written.
  EXPECT_GE(mtimeOf(s.dest / "ro.txt"), std::chrono::system_clock::to_time_t(before));
}

TEST(VZZipUnpack, WithoutPreservingAttributesFilesKeepDefaults) {
  ZipScratch s;
  ZipWriter w(s.zip);
  ZipEntrySpec e;
  e.name = "x.txt";
  e.data = "x";
  e.externalAttributes = unixFileAttributes(0700);
  e.dosDate = (uint32_t(1999 - 1980) << 25) | (1u << 21) | (1u << 16);
  w.add(e);
  ASSERT_TRUE(w.close());
  Error err;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), false, true, "", &err,
                                            nullptr));
  EXPECT_GT(mtimeOf(s.dest / "x.txt"),
            std::chrono::system_clock::to_time_t(VZZipArchive::_dateWithMSDOSFormat(e.dosDate)));
  EXPECT_NE(modeOf(s.dest / "x.txt") & 0777, 0700u);
}

TEST(VZZipUnpack, CrcMismatchFailsAfterEarlierEntriesStay) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("good.txt", "fine").file("bad.bin", std::string(10000, 'z'), true).file("after.txt", "x");
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(ZipPatch::flipCrc(s.zip, "bad.bin"));
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, -3);
  EXPECT_EQ(err.description, "crc check failed for file");
  EXPECT_EQ(readFile(s.dest / "good.txt"), "fine");
  EXPECT_FALSE(fs::exists(s.dest / "after.txt"));
}

TEST(VZZipUnpack, StoredCrcMismatchIsCaughtToo) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("stored.bin", randomBytes(5000, 3), false);
  ASSERT_TRUE(w.close());
  ASSERT_TRUE(ZipPatch::flipCrc(s.zip, "stored.bin"));
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, -3);
}

TEST(VZZipUnpack, EntryClaimingMoreThanItHoldsFails) {
  for (bool deflate : {false, true}) {
    ZipScratch s;
    ZipWriter w(s.zip);
    w.file("short.bin", randomBytes(3000, 4), deflate).file("next.txt", "n");
    ASSERT_TRUE(w.close());
    ASSERT_TRUE(ZipPatch::setUncompressedSize(s.zip, "short.bin", 900u << 20));
    Error err;
    EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err))
        << deflate;
    EXPECT_EQ(err.code, -3);
    // Never more than the entry really held.
    EXPECT_EQ(fs::file_size(s.dest / "short.bin"), 3000u);
    EXPECT_FALSE(fs::exists(s.dest / "next.txt"));

    // A record that disagrees with its local header is refused before anything is written.
    ZipScratch t;
    ZipWriter w2(t.zip);
    w2.file("short.bin", randomBytes(3000, 4), deflate);
    ASSERT_TRUE(w2.close());
    ASSERT_TRUE(ZipPatch::setCentralUncompressedSize(t.zip, "short.bin", 900u << 20));
    EXPECT_FALSE(VZZipArchive::unzipFileAtPath(t.zip.string(), t.dest.string(), true, "", &err));
    EXPECT_EQ(err.code, -2);
  }
}

TEST(VZZipUnpack, TruncatedArchivesFailWithoutCrashing) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a.bin", randomBytes(200000, 5), true).file("b.bin", randomBytes(200000, 6), false);
  ASSERT_TRUE(w.close());
  const auto full = fs::file_size(s.zip);
  std::string original = readFile(s.zip);
  // Cut inside the central directory, the second entry's data and the first entry's data.
  for (uint64_t cut : {full - 10, full - 150, full / 2 + 1000, uint64_t(100), uint64_t(0)}) {
    writeFile(s.zip, original);
    fs::resize_file(s.zip, cut);
    fs::remove_all(s.dest);
    Error err;
    EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err))
        << cut;
    EXPECT_EQ(err.domain, VZZipArchiveErrorDomain);
  }
}

TEST(VZZipUnpack, DataCutShortBehindAnIntactDirectoryFails) {
  // Copy the central directory behind a truncated data area so the archive still opens.
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a.bin", randomBytes(100000, 7), false);
  ASSERT_TRUE(w.close());
  std::string b = readFile(s.zip);
  size_t eocd = b.rfind(std::string("PK\x05\x06", 4));
  ASSERT_NE(eocd, std::string::npos);
  uint32_t cd = static_cast<uint8_t>(b[eocd + 16]) | static_cast<uint8_t>(b[eocd + 17]) << 8 |
                static_cast<uint8_t>(b[eocd + 18]) << 16 |
                static_cast<uint32_t>(static_cast<uint8_t>(b[eocd + 19])) << 24;
  std::string tail = b.substr(cd);
  std::string cutData = b.substr(0, 50000);
  uint32_t newCd = static_cast<uint32_t>(cutData.size());
  for (int i = 0; i < 4; ++i) tail[tail.size() - 22 + 16 + i] = static_cast<char>(newCd >> (8 * i));
  writeFile(s.zip, cutData + tail);
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_LT(err.code, 0);
}

struct RecordingDelegate : VZZipArchiveDelegate {
  std::vector<std::string> events;
  int stopAt = -1;
  void zipArchiveWillUnzipArchiveAtPath(const std::string&, const VZZipGlobalInfo& i) override {
    events.push_back("will-archive " + std::to_string(i.numberOfEntries));
  }
  void zipArchiveProgressEvent(uint64_t loaded, uint64_t total) override {
    events.push_back("progress " + std::to_string(loaded) + "/" + std::to_string(total));
  }
  bool zipArchiveShouldUnzipFileAtIndex(int64_t i, int64_t, const std::string&,
                                        const VZZipFileInfo&) override {
    events.push_back("should " + std::to_string(i));
    return i != stopAt;
  }
  void zipArchiveWillUnzipFileAtIndex(int64_t i, int64_t, const std::string&,
                                      const VZZipFileInfo&) override {
    events.push_back("will " + std::to_string(i));
  }
  void zipArchiveDidUnzipFileAtIndex(int64_t i, int64_t, const std::string&,
                                     const std::string& path) override {
    events.push_back("did-path " + std::to_string(i) + " " + fs::path(path).filename().string());
  }
  void zipArchiveDidUnzipArchiveAtPath(const std::string&, const VZZipGlobalInfo&,
                                       const std::string&) override {
    events.push_back("did-archive");
  }
};

struct InfoDelegate : VZZipArchiveDelegate {
  std::vector<std::string> events;
  void zipArchiveDidUnzipFileAtIndex(int64_t i, int64_t total, const std::string&,
                                     const VZZipFileInfo& info) override {
    events.push_back("did-info " + std::to_string(i) + "/" + std::to_string(total) + " " +
                     std::to_string(info.uncompressedSize));
  }
  void zipArchiveDidUnzipFileAtIndex(int64_t, int64_t, const std::string&,
                                     const std::string&) override {
    events.push_back("did-path");
  }
};

TEST(VZZipUnpack, ObserverSeesEveryStepInOrder) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("one.txt", "1", false).file("two.txt", "22", false);
  ASSERT_TRUE(w.close());
  const auto size = std::to_string(fs::file_size(s.zip));
  RecordingDelegate d;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), &d));
  std::vector<std::string> expected = {
      "will-archive 2",     "progress 0/" + size, "should 0",    "will 0",
      "progress 1/" + size, "did-path 0 one.txt", "should 1",    "will 1",
      "progress 3/" + size, "did-path 1 two.txt", "did-archive", "progress " + size + "/" + size};
  EXPECT_EQ(d.events, expected);

  InfoDelegate info;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), &info));
  EXPECT_EQ(info.events, (std::vector<std::string>{"did-info 0/2 1", "did-info 1/2 2"}));
}

TEST(VZZipUnpack, ObserverCanStopTheUnpacking) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("one.txt", "1").file("two.txt", "2").file("three.txt", "3");
  ASSERT_TRUE(w.close());
  RecordingDelegate d;
  d.stopAt = 1;
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err, &d));
  EXPECT_EQ(err.code, 0);  // stopped, not failed
  EXPECT_TRUE(fs::exists(s.dest / "one.txt"));
  EXPECT_FALSE(fs::exists(s.dest / "two.txt"));
  EXPECT_FALSE(fs::exists(s.dest / "three.txt"));
  EXPECT_EQ(std::count(d.events.begin(), d.events.end(), "did-archive"), 0);
}

TEST(VZZipUnpack, ProgressAndCompletionHandlersReportEachEntry) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a.txt", "aaa").directory("d/").file("d/b.txt", "bb");
  ASSERT_TRUE(w.close());
  std::vector<std::string> seen;
  int completions = 0;
  bool ok = VZZipArchive::unzipFileAtPath(
      s.zip.string(), s.dest.string(),
      [&](const std::string& entry, const VZZipFileInfo& info, int64_t n, int64_t total) {
        seen.push_back(entry + ":" + std::to_string(info.uncompressedSize) + ":" +
                       std::to_string(n) + "/" + std::to_string(total));
      },
      [&](const std::string&, bool success, const std::optional<Error>& e) {
        ++completions;
        EXPECT_TRUE(success);
        EXPECT_FALSE(e);
      });
  EXPECT_TRUE(ok);
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"a.txt:3:0/3", "d/:0:1/3", "d/b.txt:2:2/3"}));
}

TEST(VZZipUnpack, NestedArchivesUnpackInPlaceToTheGivenDepth) {
  ZipScratch s;
  fs::path inner = s.root / "inner.zip";
  {
    ZipWriter wi(inner);
    wi.file("deep.txt", "deep content");
    ASSERT_TRUE(wi.close());
  }
  ZipWriter w(s.zip);
  w.file("pkg/Inner.ZIP", readFile(inner), false).file("top.txt", "t");
  ASSERT_TRUE(w.close());

  Error err;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, true, 1, "",
                                            &err, nullptr, nullptr, nullptr));
  EXPECT_EQ(readFile(s.dest / "pkg/deep.txt"), "deep content");
  EXPECT_FALSE(fs::exists(s.dest / "pkg/Inner.ZIP"));

  fs::path plain = s.root / "plain";
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), plain.string()));
  EXPECT_TRUE(fs::exists(plain / "pkg/Inner.ZIP"));
  EXPECT_FALSE(fs::exists(plain / "pkg/deep.txt"));
}

TEST(VZZipUnpack, PasswordProtectedEntries) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("open.txt", "public");
  std::string secret = randomBytes(70000, 8);
  for (bool deflate : {true, false}) {
    ZipEntrySpec e;
    e.name = deflate ? "secret.bin" : "secret-stored.bin";
    e.data = secret;
    e.deflate = deflate;
    e.password = "s3cr\xC3\xA9t";
    w.add(e);
  }
  ASSERT_TRUE(w.close());

  // The fixture itself is checked against an independent reader.
  auto peer = runCommand("unzip -P 's3cr\xC3\xA9t' -tq " + s.zip.string(), 60);
  EXPECT_EQ(peer.exitCode, 0) << peer.out << peer.err;

  EXPECT_TRUE(VZZipArchive::isFilePasswordProtectedAtPath(s.zip.string()));
  Error err;
  EXPECT_TRUE(VZZipArchive::isPasswordValidForArchiveAtPath(s.zip.string(), "s3cr\xC3\xA9t", &err));
  EXPECT_FALSE(VZZipArchive::isPasswordValidForArchiveAtPath(s.zip.string(), "wrong", &err));
  EXPECT_EQ(err.code, -2);

  err = Error{};
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, -2);
  EXPECT_EQ(err.description, "failed to open file in zip file");
  EXPECT_FALSE(fs::exists(s.dest / "secret.bin"));

  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "wrong", &err));
  EXPECT_EQ(err.code, -2);

  fs::remove_all(s.dest);
  ASSERT_TRUE(
      VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "s3cr\xC3\xA9t", &err));
  EXPECT_EQ(readFile(s.dest / "open.txt"), "public");
  EXPECT_EQ(readFile(s.dest / "secret.bin"), secret);
  EXPECT_EQ(readFile(s.dest / "secret-stored.bin"), secret);
}

TEST(VZZipUnpack, EncryptedEntryWithCorruptedDataFailsCrc) {
  ZipScratch s;
  ZipWriter w(s.zip);
  ZipEntrySpec e;
  e.name = "s.bin";
  e.data = randomBytes(5000, 9);
  e.deflate = false;
  e.password = "pw";
  w.add(e);
  ASSERT_TRUE(w.close());
  std::string b = readFile(s.zip);
  b[30 + 5 + 12 + 100] ^= 0x01;  // a byte of content behind the local header and 12-byte header
  writeFile(s.zip, b);
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "pw", &err));
  EXPECT_EQ(err.code, -3);
}

TEST(VZZipUnpack, UnencryptedArchivesAreNotPasswordProtected) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a.txt", "a").file("b.txt", "b");
  ASSERT_TRUE(w.close());
  EXPECT_FALSE(VZZipArchive::isFilePasswordProtectedAtPath(s.zip.string()));
  EXPECT_FALSE(VZZipArchive::isFilePasswordProtectedAtPath((s.root / "none.zip").string()));
  Error err;
  EXPECT_TRUE(VZZipArchive::isPasswordValidForArchiveAtPath(s.zip.string(), "", &err));
  // A password is ignored for entries that are not encrypted.
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "any", &err));
  EXPECT_EQ(readFile(s.dest / "b.txt"), "b");
}

TEST(VZZipUnpack, PayloadSizeSumsDeclaredSizes) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("a", std::string(1000, 'a')).file("b", std::string(234, 'b'), false).directory("c/");
  ASSERT_TRUE(w.close());
  Error err;
  EXPECT_EQ(VZZipArchive::payloadSizeForArchiveAtPath(s.zip.string(), &err), 1234u);
  EXPECT_EQ(VZZipArchive::payloadSizeForArchiveAtPath((s.root / "nope.zip").string(), &err), 0u);
  EXPECT_EQ(err.code, -1);
}

TEST(VZZipUnpack, ConcurrentUnpackingsDoNotInterfere) {
  ZipScratch s;
  std::string data = randomBytes(600000, 10);
  ZipWriter w(s.zip);
  for (int i = 0; i < 8; ++i) w.file("d" + std::to_string(i) + "/f.bin", data, i % 2 == 0);
  ASSERT_TRUE(w.close());
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      if (VZZipArchive::unzipFileAtPath(s.zip.string(),
                                        (s.root / ("out" + std::to_string(t))).string()))
        ++ok;
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 4);
  for (int t = 0; t < 4; ++t)
    EXPECT_EQ(readFile(s.root / ("out" + std::to_string(t)) / "d7/f.bin"), data);
}

}  // namespace
