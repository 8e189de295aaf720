#include <unistd.h>

#include "ZipTestUtil.h"

namespace fs = std::filesystem;
using orsa::platform::Error;
using namespace orsa::test;

namespace {

// Runs the default unpacking and checks that nothing outside the destination changed.
struct Outcome {
  bool ok;
  Error err;
};
Outcome unpackChecked(ZipScratch& s, bool overwrite = true,
                      std::optional<std::string> linksRoot = std::string("<dest>")) {
  auto before = s.snapshot();
  Outcome o{false, Error{}};
  if (linksRoot && *linksRoot == "<dest>") linksRoot = s.dest.string();
  o.ok = VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, overwrite, linksRoot,
                                       0, "", &o.err, nullptr, nullptr, nullptr);
  EXPECT_EQ(before, s.snapshot()) << "something changed outside the destination";
  EXPECT_EQ(readFile(s.outside / "keep.txt"), "untouched");
  return o;
}

TEST(ZipHostile, ClimbingAndAbsoluteNamesLandInsideTheDestination) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("../../evil.txt", "1")
      .file("/etc/abs.txt", "2")
      .file("a/../../../b.txt", "3")
      .file("./c/./d.txt", "4")
      .file("..", "5")
      .file("x/..", "6")
      .file("//double//slash.txt", "7");
  ZipEntrySpec dos;
  dos.name = "..\\..\\dosevil.txt";
  dos.data = "8";
  dos.host = ZipHost::MsDos;
  w.add(dos);
  ZipEntrySpec nt = dos;
  nt.name = "C:\\..\\..\\ntevil.txt";
  nt.host = ZipHost::Ntfs;
  w.add(nt);
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  ASSERT_TRUE(o.ok) << o.err.description;
  EXPECT_EQ(readFile(s.dest / "evil.txt"), "1");
  EXPECT_EQ(readFile(s.dest / "etc/abs.txt"), "2");
  EXPECT_EQ(readFile(s.dest / "b.txt"), "3");
  EXPECT_EQ(readFile(s.dest / "c/d.txt"), "4");
  // Names that resolve to nothing take the entry's index.
  EXPECT_EQ(readFile(s.dest / "4"), "5");
  EXPECT_EQ(readFile(s.dest / "5"), "6");
  EXPECT_EQ(readFile(s.dest / "double/slash.txt"), "7");
  EXPECT_EQ(readFile(s.dest / "dosevil.txt"), "8");
  EXPECT_EQ(readFile(s.dest / "ntevil.txt"), "8");
}

TEST(ZipHostile, NamesThatAreNotUtf8StillLandInside) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file(std::string("\xff\xfe/../\x80\x81.txt"), "raw");
  w.file(std::string("ok\xc0\xaf..\xc0\xaf"
                     "x"),
         "overlong slash");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  ASSERT_TRUE(o.ok) << o.err.description;
  size_t files = 0;
  for (auto& e : fs::recursive_directory_iterator(s.dest))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, 2u);
}

TEST(ZipHostile, LinkToAnAbsolutePathFails) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("before.txt", "b").symlink("etc", "/etc").file("after.txt", "a");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.err.domain, VZZipArchiveErrorDomain);
  EXPECT_EQ(o.err.code, -7);
  EXPECT_EQ(o.err.description.rfind("Symlink escapes target directory \"~etc -> /etc", 0), 0u)
      << o.err.description;
  EXPECT_FALSE(fs::exists(fs::symlink_status(s.dest / "etc")));
  EXPECT_TRUE(fs::exists(s.dest / "before.txt"));
  EXPECT_FALSE(fs::exists(s.dest / "after.txt"));
}

TEST(ZipHostile, LinksClimbingOutOrIntoAPrefixSiblingFail) {
  // The links live in dest/sub, so "../" reaches dest and "../../" its parent.
  for (std::string target :
       {"../../outside", "../../../x", "../sub/../../outside/keep.txt", "../../dest_evil/x",
        "../../dest_evil", "missing/../../../outside", "..//..//outside"}) {
    ZipScratch s;
    fs::create_directories(s.root / "dest_evil");
    ZipWriter w(s.zip);
    w.directory("sub/").symlink("sub/link", target);
    ASSERT_TRUE(w.close());
    auto o = unpackChecked(s);
    EXPECT_FALSE(o.ok) << target;
    EXPECT_EQ(o.err.code, -7) << target;
    EXPECT_FALSE(isSymlink(s.dest / "sub/link")) << target;
  }
}

TEST(ZipHostile, LinksInsideTheDestinationAreCreatedVerbatim) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.file("sub/file", "content").symlink("rel", "sub/file").symlink("sub/up", "../sub/file");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  ASSERT_TRUE(o.ok) << o.err.description;
  EXPECT_EQ(fs::read_symlink(s.dest / "rel"), "sub/file");
  EXPECT_EQ(fs::read_symlink(s.dest / "sub/up"), "../sub/file");
  EXPECT_EQ(readFile(s.dest / "rel"), "content");
}

TEST(ZipHostile, WritingThroughALinkToAFolderInsideStaysInside) {
  ZipScratch s;
  ZipWriter w(s.zip);
  w.directory("real/").symlink("alias", "real").file("alias/f.txt", "through");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  ASSERT_TRUE(o.ok) << o.err.description;
  EXPECT_EQ(readFile(s.dest / "real/f.txt"), "through");
  EXPECT_TRUE(isSymlink(s.dest / "alias"));
}

TEST(ZipHostile, NothingIsWrittenThroughLinksLeadingOut) {
  // Links may point anywhere when the caller lifts the confinement, yet entries written
  // below such a link would land outside: refused.
  ZipScratch s;
  ZipWriter w(s.zip);
  w.symlink("out", s.outside.string()).file("out/keep.txt", "overwritten!").file("later", "x");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s, true, std::nullopt);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.err.code, -7);
  EXPECT_TRUE(isSymlink(s.dest / "out"));
  EXPECT_FALSE(fs::exists(s.dest / "later"));
}

TEST(ZipHostile, ALinkOnDiskBeforehandIsNotFollowedOut) {
  ZipScratch s;
  fs::create_directories(s.dest);
  fs::create_directory_symlink(s.outside, s.dest / "pkg");
  ZipWriter w(s.zip);
  w.file("pkg/keep.txt", "overwritten!").file("pkg/new.txt", "new");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.err.code, -7);
  EXPECT_FALSE(fs::exists(s.outside / "new.txt"));
}

TEST(ZipHostile, AFileEntryAfterALinkOfTheSameNameReplacesTheLink) {
  ZipScratch s;
  // With confinement lifted the link itself is allowed; the file must not go through it.
  ZipWriter w(s.zip);
  w.symlink("x", (s.outside / "keep.txt").string()).file("x", "replaced the link");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s, true, std::nullopt);
  ASSERT_TRUE(o.ok) << o.err.description;
  EXPECT_FALSE(isSymlink(s.dest / "x"));
  EXPECT_EQ(readFile(s.dest / "x"), "replaced the link");

  // Without overwriting, the link stays and the file entry is skipped.
  ZipScratch t;
  ZipWriter w2(t.zip);
  w2.symlink("x", (t.outside / "keep.txt").string()).file("x", "must not land");
  ASSERT_TRUE(w2.close());
  auto o2 = unpackChecked(t, false, std::nullopt);
  EXPECT_TRUE(o2.ok);
  EXPECT_TRUE(isSymlink(t.dest / "x"));
}

TEST(ZipHostile, ALinkEntryReplacesAnExistingFileOrFolderOnlyWhenOverwriting) {
  ZipScratch s;
  fs::create_directories(s.dest / "thing/inner");
  writeFile(s.dest / "thing/inner/f", "x");
  ZipWriter w(s.zip);
  w.file("target.txt", "t").symlink("thing", "target.txt");
  ASSERT_TRUE(w.close());
  auto keep = unpackChecked(s, false);
  EXPECT_TRUE(keep.ok);
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(s.dest / "thing")));
  auto o = unpackChecked(s, true);
  ASSERT_TRUE(o.ok) << o.err.description;
  EXPECT_TRUE(isSymlink(s.dest / "thing"));
  EXPECT_EQ(readFile(s.dest / "thing"), "t");
}

TEST(ZipHostile, ChainedLinksCannotReachOutLater) {
  // "a" points at a folder that does not exist yet; a later link named like that folder
  // must not turn "a" into a way out.
  ZipScratch s;
  ZipWriter w(s.zip);
  w.symlink("a", "n/../..").symlink("n", ".");
  ASSERT_TRUE(w.close());
  auto o = unpackChecked(s);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.err.code, -7);
}

TEST(ZipHostile, OverlappingEntriesAreStoppedByTheExpansionLimit) {
  // One highly compressed entry referenced by many central records: the classic
  // overlapping-entry bomb. Without a limit it would write 40 x 8 MiB from ~12 KB.
  ZipScratch s;
  {
    ZipWriter w(s.zip);
    ZipEntrySpec e;
    e.level = 9;
    e.name = "z00";
    e.data = std::string(8u << 20, '\0');
    w.add(e);
    for (int i = 1; i < 40; ++i)
      w.file("z" + std::string(i < 10 ? "0" : "") + std::to_string(i), "");
    ASSERT_TRUE(w.close());
  }
  for (int i = 1; i < 40; ++i)
    ASSERT_TRUE(ZipPatch::aliasEntry(
        s.zip, "z" + std::string(i < 10 ? "0" : "") + std::to_string(i), "z00"));
  ASSERT_LT(fs::file_size(s.zip), 64u << 10);
  auto before = s.snapshot();
  Error err;
  EXPECT_FALSE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err));
  EXPECT_EQ(err.code, -8);
  EXPECT_EQ(before, s.snapshot());
  uint64_t total = 0;
  for (auto& e : fs::recursive_directory_iterator(s.dest))
    if (e.is_regular_file()) total += e.file_size();
  EXPECT_LE(total, (64u << 20) + (1u << 20));
  EXPECT_GE(total, 8u << 20);  // the honest first copies were written
}

TEST(ZipHostile, ExpansionLimitLeavesHonestHighRatioArchivesAlone) {
  ZipScratch s;
  std::string zeros(80u << 20, '\0');  // ~1000:1, the most deflate can do
  ZipWriter w(s.zip);
  ZipEntrySpec e;
  e.name = "zeros.bin";
  e.data = zeros;
  e.level = 9;
  w.add(e);
  ASSERT_TRUE(w.close());
  Error err;
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, "", &err))
      << err.description;
  EXPECT_EQ(fs::file_size(s.dest / "zeros.bin"), zeros.size());
}

TEST(ZipHostile, NestedArchivesCannotEscapeEither) {
  ZipScratch s;
  fs::path inner = s.root / "inner.zip";
  {
    ZipWriter wi(inner);
    wi.file("../../../nested-evil.txt", "n").symlink("l", "/etc");
    ASSERT_TRUE(wi.close());
  }
  ZipWriter w(s.zip);
  w.file("a/inner.zip", readFile(inner), false);
  ASSERT_TRUE(w.close());
  fs::remove(inner);
  auto before = s.snapshot();
  Error err;
  EXPECT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), s.dest.string(), true, true, 1, "",
                                            &err, nullptr, nullptr, nullptr));
  EXPECT_EQ(before, s.snapshot());
  EXPECT_EQ(readFile(s.dest / "a/nested-evil.txt"), "n");
  EXPECT_FALSE(isSymlink(s.dest / "a/l"));
  // The inner unpacking failed on its link, so the inner archive is kept.
  EXPECT_TRUE(fs::exists(s.dest / "a/inner.zip"));
}

}  // namespace
