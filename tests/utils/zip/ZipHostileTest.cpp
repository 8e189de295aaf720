#include <functional>

#include "ZipTestUtil.h"

namespace fs = std::filesystem;
using orsa::platform::Error;
using namespace orsa::test;

namespace {

TEST(ZipHostile, EveryNameLandsInsideTheDestination) {
  ZipScratch s;
  ZipWriter w(s.zip.string());
  // name, host, where it lands: "" anywhere inside, "-" nowhere; names that resolve to
  // nothing take the entry's index. The legacy names mix two code pages and junk, so one
  // encoding cannot read them all: they only have to land inside.
  const std::vector<std::tuple<std::string, ZipHost, std::string>> table = {
      {"../../evil.txt", ZipHost::Unix, "evil.txt"},
      {"/etc/abs.txt", ZipHost::Unix, "etc/abs.txt"},
      {"a/../../../b.txt", ZipHost::Unix, "b.txt"},
      {"./c/./d.txt", ZipHost::Unix, "c/d.txt"},
      {"..", ZipHost::Unix, "4"},
      {"x/..", ZipHost::Unix, "5"},
      {"//double//slash.txt", ZipHost::Unix, "double/slash.txt"},
      {"%2e%2e/q?#x", ZipHost::Unix, "%2e%2e/q?#x"},  // URL delimiters are plain characters
      {"\x83\x66\x83\x57\x83\x5e\x83\x8b\x83\x71\x83\x85\x81\x5b\x83\x7d\x83\x93/"
       "\x94\x77\x8c\x69\x89\xe6\x91\x9c.png",
       ZipHost::MsDos, ""},
      {"..\\..\\dosevil.txt", ZipHost::MsDos, "dosevil.txt"},
      {"C:\\..\\..\\ntevil.txt", ZipHost::Ntfs, "ntevil.txt"},
      {"dir\\sub\\f.txt", ZipHost::MsDos, "dir/sub/f.txt"},
      {"back\\slash.txt", ZipHost::Unix, "back\\slash.txt"},
      {"__MACOSX/._a.txt", ZipHost::Unix, "-"},
      {"\xca\xfd\xd7\xd6\xc8\xcb\xd7\xca\xd4\xb4\xb0\xfc/\xb1\xb3\xbe\xb0\xcd\xbc\xc6\xac.png",
       ZipHost::MsDos, ""},
      {"\xff\xfe/../\x80\x81.txt", ZipHost::Unix, ""},
      {"ok\xc0\xaf..\xc0\xafx", ZipHost::Unix, ""},
  };
  for (size_t i = 0; i < table.size(); ++i)
    w.add(entry(std::get<0>(table[i]), "entry " + std::to_string(i), std::get<1>(table[i])));
  ASSERT_TRUE(w.close());
  Error err;
  ASSERT_TRUE(s.unzip(&err)) << err.description;
  EXPECT_EQ(std::count_if(fs::recursive_directory_iterator(s.dest), {},
                          [](auto& e) { return e.is_regular_file(); }),
            table.size() - 1);
  EXPECT_FALSE(fs::exists(s.dest / "__MACOSX"));
  for (size_t i = 0; i < table.size(); ++i)
    if (std::get<2>(table[i]).size() > 1) {
      EXPECT_EQ(readFile(s.dest / std::get<2>(table[i])), "entry " + std::to_string(i)) << i;
    }
}

TEST(ZipHostile, LinksThatLeadOutFailAndNothingIsWrittenThroughThem) {
  using Build = std::function<void(ZipScratch&, ZipWriter&)>;
  std::vector<std::tuple<std::string, Build, bool>> cases;  // what, archive, links confined
  // The links live in dest/sub, so "../" reaches dest and "../../" its parent.
  for (std::string target :
       {"../../outside", "../../../x", "../sub/../../outside/keep.txt", "../../dest_evil/x",
        "../../dest_evil", "missing/../../../outside", "..//..//outside", "/etc"})
    cases.push_back({target, [target](auto&, auto& w) { w.symlink("sub/link", target); }, true});
  cases.push_back({"a link on disk beforehand",
                   [](ZipScratch& s, ZipWriter& w) {
                     fs::create_directories(s.dest);
                     fs::create_directory_symlink(s.outside, s.dest / "pkg");
                     w.file("pkg/keep.txt", "overwritten!").file("pkg/new.txt", "new");
                   },
                   true});
  cases.push_back({"entries below an unconfined link",
                   [](ZipScratch& s, ZipWriter& w) {
                     w.symlink("out", s.outside.string()).file("out/keep.txt", "overwritten!");
                   },
                   false});
  // "a" points at a folder that does not exist yet; a later link named like that folder
  // must not turn "a" into a way out.
  cases.push_back(
      {"chained links", [](auto&, auto& w) { w.symlink("a", "n/../..").symlink("n", "."); }, true});
  for (const auto& [what, build, confined] : cases) {
    ZipScratch s;
    fs::create_directories(s.root / "dest_evil");
    ZipWriter w(s.zip.string());
    w.file("before.txt", "b");
    build(s, w);
    ASSERT_TRUE(w.file("later.txt", "after the failure").close());
    Error err;
    EXPECT_FALSE(s.unzip(&err, true, "", confined)) << what;
    EXPECT_EQ(err.code, -7) << what;
    EXPECT_FALSE(fs::is_symlink(s.dest / "sub/link")) << what;
    EXPECT_TRUE(fs::exists(s.dest / "before.txt")) << what;  // nothing is rolled back
    EXPECT_FALSE(fs::exists(s.dest / "later.txt")) << what;
    EXPECT_EQ(err.description.rfind("Symlink escapes target directory \"~", 0), 0u) << what;
  }
}

TEST(ZipHostile, LinksInsideAreKeptVerbatimAndReplacedOnlyWhenOverwriting) {
  ZipScratch s;
  fs::create_directories(s.dest / "thing/inner");
  ZipWriter w(s.zip.string());
  w.file("sub/file", "content")
      .symlink("rel", "sub/file")
      .symlink("sub/up", "../sub/file")
      .directory("real/")
      .symlink("alias", "real")
      .file("alias/f.txt", "through")
      .symlink("thing", "sub/file")
      .symlink("x", "sub/file")
      .file("x", "replaced the link");
  ASSERT_TRUE(w.close());
  Error err;
  ASSERT_TRUE(s.unzip(&err, false)) << err.description;
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(s.dest / "thing")));
  EXPECT_TRUE(fs::is_symlink(s.dest / "x"));  // the file entry is skipped, not written through
  EXPECT_EQ(readFile(s.dest / "sub/file"), "content");
  ASSERT_TRUE(s.unzip(&err, true)) << err.description;
  EXPECT_EQ(fs::read_symlink(s.dest / "rel"), "sub/file");
  EXPECT_EQ(fs::read_symlink(s.dest / "sub/up"), "../sub/file");
  EXPECT_EQ(readFile(s.dest / "real/f.txt"), "through");
  EXPECT_EQ(readFile(s.dest / "thing"), "content");  // the folder gave way to the link
  EXPECT_FALSE(fs::is_symlink(s.dest / "x"));
  EXPECT_EQ(readFile(s.dest / "x"), "replaced the link");
  // A destination reached through a link is resolved before links are vetted against it.
  fs::create_directory_symlink(s.dest, s.root / "alias");
  EXPECT_TRUE(VZZipArchive::unzipFileAtPath(s.zip.string(), (s.root / "alias").string()));
}

TEST(ZipHostile, DamagedOrLyingEntriesFailWithTheirCodes) {
  using Damage = std::function<bool(const fs::path&)>;
  using P = ZipPatch;
  auto patch = [](P::Field f, uint32_t v) -> Damage {
    return [=](auto& z) { return P::set(z, "v.bin", f, v); };
  };
  Damage flip = patch(P::kCrc, 0x5a5a5a5a), grow = patch(P::kUncompressedSize, 8u << 20),
         lie = patch(P::kCentralUncompressedSize, 8u << 20);
  Damage corrupt = [](auto& z) {
    std::string b = readFile(z);
    b[b.find("v.bin") + 5 + 12 + 100] ^= 1;  // content behind the encryption header
    writeFile(z, b);
    return true;
  };
  const std::string crc = "crc check failed for file", open = "failed to open file in zip file";
  using Case = std::tuple<bool, std::string, Damage, std::string>;  // deflated, password, ...
  const std::vector<Case> cases = {{true, "", flip, crc},       {false, "", flip, crc},
                                   {false, "pw", corrupt, crc}, {true, "", grow, crc},
                                   {false, "", grow, crc},      {true, "", lie, open},
                                   {false, "", lie, open}};
  for (auto [deflate, password, damage, description] : cases) {
    ZipScratch s;
    ZipEntry v = entry("v.bin", randomBytes(3000, 4));
    v.deflate = deflate;
    v.password = password;
    ASSERT_TRUE(ZipWriter(s.zip.string()).file("good.txt", "ok").add(v).file("z", "").close());
    ASSERT_TRUE(damage(s.zip));
    Error err;
    const std::string what = std::to_string(deflate) + password + description;
    EXPECT_FALSE(s.unzip(&err, true, password)) << what;
    EXPECT_EQ(err.code, description == crc ? -3 : -2) << what;
    EXPECT_EQ(err.description, description) << what;
    EXPECT_EQ(readFile(s.dest / "good.txt"), "ok") << what;
    EXPECT_FALSE(fs::exists(s.dest / "z")) << what;
    if (fs::exists(s.dest / "v.bin")) {
      EXPECT_LE(fs::file_size(s.dest / "v.bin"), 3000u) << what;  // never more than it held
    }
  }
}

TEST(ZipHostile, TruncatedArchivesFailWithoutCrashing) {
  ZipScratch s;
  ZipWriter w(s.zip.string());
  ASSERT_TRUE(w.file("a", randomBytes(200000, 5)).file("b", randomBytes(200000, 6), false).close());
  const std::string original = readFile(s.zip);
  const size_t full = original.size(), cd = original.find(std::string("PK\1\2", 4));
  // The data cut short behind an intact central directory, so the archive still opens.
  std::string tail = original.substr(cd);
  for (int i = 0; i < 4; ++i) tail[tail.size() - 6 + i] = static_cast<char>(50000 >> (8 * i));
  for (const std::string& cut : {original.substr(0, full - 10), original.substr(0, full - 150),
                                 original.substr(0, full / 2 + 1000), original.substr(0, 100),
                                 std::string(), original.substr(0, 50000) + tail}) {
    writeFile(s.zip, cut);
    Error err;
    EXPECT_FALSE(s.unzip(&err)) << cut.size();
    EXPECT_EQ(err.domain, VZZipArchiveErrorDomain) << cut.size();
  }
}

TEST(ZipHostile, OverlappingEntriesAreStoppedByTheExpansionLimit) {
  // One highly compressed entry referenced by many central records: the classic
  // overlapping-entry bomb. Without a limit it would write 40 x 8 MiB from ~12 KB.
  ZipScratch s;
  ZipWriter w(s.zip.string());
  ZipEntry e = entry("z00", std::string(8u << 20, '\0'));
  e.level = 9;
  w.add(e);
  for (int i = 11; i < 50; ++i) w.file("z" + std::to_string(i), "");  // names as long as z00
  ASSERT_TRUE(w.close());
  for (int i = 11; i < 50; ++i)
    ASSERT_TRUE(ZipPatch::aliasEntry(s.zip, "z" + std::to_string(i), "z00"));
  ASSERT_LT(fs::file_size(s.zip), 64u << 10);
  Error err;
  EXPECT_FALSE(s.unzip(&err));
  EXPECT_EQ(err.code, -8);
  uint64_t total = 0;
  for (auto& f : fs::recursive_directory_iterator(s.dest)) total += f.file_size();
  EXPECT_LE(total, (64u << 20) + (1u << 20));
  EXPECT_GE(total, 8u << 20);  // the honest first copies were written

  // An honest archive near deflate's best ratio (~1000:1) is left alone.
  ZipScratch h;
  e.name = "zeros.bin";
  e.data = std::string(80u << 20, '\0');
  ASSERT_TRUE(ZipWriter(h.zip.string()).add(e).close());
  ASSERT_TRUE(h.unzip(&err)) << err.description;
  EXPECT_EQ(fs::file_size(h.dest / "zeros.bin"), e.data.size());
}

TEST(ZipHostile, NestedArchivesUnpackToTheGivenDepthAndCannotEscapeEither) {
  ZipScratch s;
  const fs::path good = s.root / "good.zip", evil = s.root / "evil.zip";
  ASSERT_TRUE(ZipWriter(good.string()).file("deep.txt", "deep").close());
  ASSERT_TRUE(ZipWriter(evil.string()).file("../../../x.txt", "n").symlink("l", "/etc").close());
  ZipWriter w(s.zip.string());
  ASSERT_TRUE(w.file("a/In.ZIP", readFile(good), false).file("b/evil.zip", readFile(evil)).close());
  Error err;
  ASSERT_TRUE(s.unzip(&err, true, "", true, 1));
  EXPECT_EQ(readFile(s.dest / "a/deep.txt"), "deep");
  EXPECT_FALSE(fs::exists(s.dest / "a/In.ZIP"));
  EXPECT_EQ(readFile(s.dest / "b/x.txt"), "n");
  EXPECT_FALSE(fs::is_symlink(s.dest / "b/l"));
  // The inner unpacking failed on its link, so that inner archive is kept.
  EXPECT_TRUE(fs::exists(s.dest / "b/evil.zip"));
}

}  // namespace
