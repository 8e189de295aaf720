// The orsa subcommands' contract: arguments, exit code, what goes to stdout and to stderr.
// The library behind each subcommand is tested in its own folder; this checks what only the
// tool can get wrong.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "OrsaMireloConfigDecoder.h"
#include "platform/OrsaBase64.h"
#include "render/gl/PngFile.h"
#include "support/TestSupport.h"
#include "support/ZipWriter.h"
#include "utils/zip/VZZipArchive.h"

namespace fs = std::filesystem;
using namespace orsa::test;

namespace {

const std::string kLongName(5000, 'n');

struct Row {
  std::vector<std::string> args;  // "@name": the fixture file of that name
  int exitCode;
  std::string out;  // fragments that must appear ("" checks nothing)
  std::string err;
};

class ToolContract : public testing::Test {
 protected:
  // Packages shared by every case: a sample package, one without origin.mp4, one whose entry
  // name is longer than any fixed buffer, an encrypted one, one with a link leading out, one
  // big enough for the unzip summary line, and a file that is no archive at all.
  static void SetUpTestSuite() {
    if (orsaToolPath().empty()) return;
    dir_ = std::make_unique<TempDir>();
    sample_ = run({"sample-package", path("sample.zip"), "--frames", "12", "--size", "64x96"});
    ZipWriter(path("no-origin.zip")).file("border.png", "png").close();
    ZipWriter(path("long.zip")).file(kLongName, "x").close();
    ZipEntry secret;
    secret.name = "secret.txt";
    secret.data = "hidden";
    secret.password = "pw";
    ZipWriter(path("secret.zip")).add(secret).close();
    ZipWriter(path("evil.zip")).symlink("evil", "../../etc").close();
    ZipWriter big(path("big.zip"));
    for (int i = 0; i < 3; ++i) big.file("part" + std::to_string(i), std::string(12u << 20, 'a'));
    big.close();
    writeFile(path("junk.zip"), "PK but not really");
  }
  static void TearDownTestSuite() { dir_.reset(); }
  void SetUp() override {
    if (orsaToolPath().empty()) GTEST_SKIP() << "the orsa tool is not built";
  }

  static std::string path(const std::string& name) { return (dir_->path() / name).string(); }
  // The one way of running the tool here: a home of its own, "@name" for a fixture file.
  static CommandResult run(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    for (const auto& a : args) argv.push_back(a.rfind("@", 0) == 0 ? path(a.substr(1)) : a);
    return runOrsa(path("home"), argv);
  }

  static void expectRows(const std::vector<Row>& rows) {
    for (const auto& row : rows) {
      const std::string what = testing::PrintToString(row.args);
      CommandResult r = run(row.args);
      EXPECT_EQ(r.exitCode, row.exitCode) << what << "\n" << r.err;
      EXPECT_NE(r.out.find(row.out), std::string::npos) << what << "\n" << r.out;
      EXPECT_NE(r.err.find(row.err), std::string::npos) << what << "\n" << r.err;
      // Results and diagnoses never trade places.
      if (row.exitCode != 0) {
        EXPECT_EQ(r.out.find("fps="), std::string::npos) << what;
      }
    }
  }

  static std::unique_ptr<TempDir> dir_;
  static CommandResult sample_;
};
std::unique_ptr<TempDir> ToolContract::dir_;
CommandResult ToolContract::sample_;

TEST_F(ToolContract, EverySubcommandKeepsItsExitCodesAndOutput) {
  const std::string sei =
      "1900000001000000ffffffff0000008000100000c002000064000000c004000064020000ddccbbaa";
  const std::string seiEscaped =
      "1E 00 00 03 00 00 03 00 00 03 00 00 03 00 00 03 00 00 03 00 00 03 00 00 03 01 00 00 03 00 "
      "00 03 00 00 03 00 00 03 00 00 03 02 00 00 03 00 03 00 00 03 00";
  const std::string config = OrsaBase64::encode(
      R"({"DigitalHumanId":"h1","Streams":[{"RoomId":"r","StreamId":"s","PackageUrl":"u",)"
      R"("ConfigId":"mobile"}]})");
  const std::vector<Row> rows = {
      {{"--help"}, 0, "usage: orsa [--home DIR] [--verbose] COMMAND", ""},
      {{}, 2, "", "usage: orsa"},
      {{"frobnicate"}, 2, "", "orsa: unknown command 'frobnicate'"},
      {{"config", "decode", config},
       0,
       "MireloConfig{DigitalHumanId='h1', Streams[0]=Stream{RoomId='r', StreamId='s', "
       "EncodeCode='', PackageUrl='u', Platform='mobile'}}\n",
       ""},
      {{"config", "decode", ""}, 1, "", "decode error, config empty"},
      {{"config", "decode", "Zm9v\nYmFy"}, 1, "", "decode error, base64 decode failed"},
      {{"config", "decode", OrsaBase64::encode(R"({"DigitalHumanId":"h","Streams":[]})")},
       1,
       "",
       "decode error, data is not valid: MireloConfig{DigitalHumanId='h'}"},
      {{"config"}, 2, "", "usage: orsa config"},
      {{"config", "encode", "--id", "h"}, 2, "", "usage: orsa config"},
      {{"config", "encode", "--id", "h", "--stream", "only-room"}, 2, "", "bad stream"},
      {{"config", "encode", "--id", "h", "--stream", "r,s", "--bogus"}, 2, "", "usage"},
      {{"sei", "parse", sei},
       0,
       "fps=25 type=1 startIndex=-1 endIndex=-2147483648 frameIndex=4096 left=704 top=100 "
       "right=1216 bottom=612\n",
       ""},
      {{"sei", "parse", seiEscaped},
       0,
       "fps=30 type=0 startIndex=0 endIndex=0 frameIndex=256 left=0 top=0 right=2 bottom=3\n",
       ""},
      {{"sei", "parse", "00000301" + std::string(64, '2')},
       1,
       "",
       "updateSEI failed, data size not fit!"},
      {{"sei", "parse", ""}, 1, "", "updateSEI failed, data empty!"},
      {{"sei", "parse", sei.substr(0, 10) + "zz"}, 1, "", "orsa sei: bad hex"},
      {{"sei", "parse", sei + "0"}, 1, "", "orsa sei: bad hex"},
      {{"sei"}, 2, "", "usage: orsa sei parse HEX"},
      {{"unzip", "@secret.zip", "@out"}, 1, "", "-2 failed to open file in zip file"},
      {{"unzip", "@secret.zip", "@out", "--password", "pw"}, 0, "", ""},
      {{"unzip", "@evil.zip", "@out"}, 1, "", "-7 Symlink escapes target directory \"~evil -> "},
      {{"unzip", "@junk.zip", "@out"}, 1, "", "-1 failed to open zip file"},
      {{"unzip", "@big.zip", "@out", "--no-overwrite"}, 0, "", "unzip: 3 entries, 36.0 MB into"},
      {{"unzip", "@secret.zip"}, 2, "", "usage: orsa unzip"},
      {{"package", "inspect", "@sample.zip"}, 0, "entries: 5\n", ""},
      {{"package", "inspect", "@sample.zip"},
       0,
       "origin.mp4: 64x96, 25 fps, 12 frames\ninterpolations.mp4: 64x96, 25 fps, 18 frames\n"
       "interpolations.json: 18 interpolation keys\nborder.png: 22x22\n"
       "ready for preparation: yes\n",
       ""},
      {{"package", "inspect", "@long.zip"}, 1, "  " + kLongName + "\n", ""},
      {{"package", "inspect", "@no-origin.zip"},
       1,
       "ready for preparation: no\nproblem: origin.mp4 is missing\n",
       ""},
      {{"package", "inspect", "@junk.zip"}, 1, "", "not a readable zip archive"},
      {{"package", "prepare", "@sample.zip"},
       0,
       "origin frames: 12\ninterpolation frames: 18\n",
       "(12/12)"},
      {{"package", "prepare", "@no-origin.zip"},
       1,
       "",
       "package prepare: failed (-200000): the package has no origin.mp4"},
      {{"package", "prepare", "@junk.zip"}, 1, "", "not a readable zip archive"},
      {{"package", "prepare", "@absent.zip"}, 1, "", "no such package file"},
      {{"package", "unpack", "@sample.zip"}, 2, "", "usage: orsa package"},
      {{"logs", "rewind"}, 2, "", "usage: orsa logs read\n"},
      {{"sample-package", "@x.zip", "--size", "101x200"}, 2, "", "usage: orsa sample-package"},
      {{"sample-package", "@x.zip", "--frames", "0"}, 2, "", "usage: orsa sample-package"},
      {{"sample-package", "@x.zip", "@y.zip"}, 2, "", "more than one output file"},
      {{"sample-package", "@no/such/dir/x.zip", "--frames", "2", "--size", "32x32"},
       1,
       "",
       "orsa sample-package: "},
  };
  ASSERT_EQ(sample_.exitCode, 0) << sample_.err;
  expectRows(rows);
  // Failed runs leave nothing behind: no partial archive, the user's files untouched.
  EXPECT_FALSE(fs::exists(path("x.zip")));
  EXPECT_FALSE(fs::exists(path("x.zip.partial")));
  EXPECT_TRUE(fs::exists(path("no-origin.zip")));
  EXPECT_EQ(readFile(path("out/secret.txt")), "hidden");
  EXPECT_FALSE(fs::exists(fs::symlink_status(path("out/evil"))));
}

TEST_F(ToolContract, ConfigEncodeWritesOnlyTheConfigurationTheDecoderReads) {
  auto enc =
      run({"config", "encode", "--id", "数字人", "--stream", "room-w,stream-w", "--stream",
           "room-m,stream-m,h264,https://cdn.example/a,b.zip?x=1,mobile", "--stream", ",s3,enc"});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  ASSERT_EQ(enc.out.back(), '\n');
  auto config = OrsaMireloConfigDecoder::decode(enc.out.substr(0, enc.out.size() - 1));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->string(),
            "MireloConfig{DigitalHumanId='数字人', "
            "Streams[0]=Stream{RoomId='room-w', StreamId='stream-w', EncodeCode='', PackageUrl='', "
            "Platform=''}, "
            "Streams[1]=Stream{RoomId='room-m', StreamId='stream-m', EncodeCode='h264', "
            "PackageUrl='https://cdn.example/a,b.zip?x=1', Platform='mobile'}, "
            "Streams[2]=Stream{RoomId='', StreamId='s3', EncodeCode='enc', PackageUrl='', "
            "Platform=''}}");
  EXPECT_FALSE(config->streams()->at(0).encodeCode());  // absent, not empty
}

TEST_F(ToolContract, PrepareKeepsTheUsersFileAndReusesTheStore) {
  auto first = run({"package", "prepare", "@sample.zip"});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  fs::copy_file(path("sample.zip"), path("renamed.zip"), fs::copy_options::overwrite_existing);
  auto again = run({"package", "prepare", "@renamed.zip"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  const std::string dir = first.out.substr(0, first.out.find('\n'));
  EXPECT_EQ(dir.rfind("resource directory: " + path("home") + "/Library/Caches/OrsaMirelo/", 0),
            0u);
  EXPECT_EQ(again.out.substr(0, again.out.find('\n')), dir);  // same content, same store
  EXPECT_TRUE(fs::exists(path("sample.zip")));
  EXPECT_TRUE(fs::exists(path("renamed.zip")));
}

TEST_F(ToolContract, RenderWritesTheCompositeThatTheViewPresented) {
  // Solid pictures: a red background, a blue head (given as RGBA; the tool makes it BGRA) and a
  // mask that is head on its left half, background on its right half.
  auto png = [](const std::string& name, int w, int h, auto pixel) {
    std::vector<uint8_t> v;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (uint8_t c : pixel(x)) v.push_back(c);
    std::string error;
    ASSERT_TRUE(orsa::gl::writePngRGBA(path(name), v.data(), w, h, w * 4, error)) << error;
  };
  png("bg.png", 64, 48, [](int) { return std::array<uint8_t, 4>{240, 0, 0, 255}; });
  png("head.png", 16, 16, [](int) { return std::array<uint8_t, 4>{0, 0, 240, 255}; });
  png("mask.png", 16, 16, [](int x) {
    return x < 8 ? std::array<uint8_t, 4>{255, 255, 255, 255}
                 : std::array<uint8_t, 4>{0, 0, 0, 255};
  });
  const std::vector<std::string> base = {"render",    "--background", "@bg.png",   "--head",
                                         "@head.png", "--mask",       "@mask.png", "--rect",
                                         "8,8,32,32", "--out",        "@out.png",  "--layer"};
  auto with = [&](std::vector<std::string> extra) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::vector<Row> rows = {
      {with({"32x24@2"}), 0, path("out.png") + ": 64x48\n", ""},
      {with({"32x24"}), 2, "", "usage: orsa render"},
      {with({"32x24@2", "--bogus"}), 2, "", "usage: orsa render"},
      {{"render", "--background", "@bg.png"}, 2, "", "usage: orsa render"},
      {{"render", "--background", "@junk.zip", "--head", "@head.png", "--mask", "@mask.png",
        "--rect", "8,8,32,32", "--layer", "32x24@2", "--out", "@bad.png"},
       1,
       "",
       "orsa render: " + path("junk.zip") + " is neither a JPEG nor a readable PNG"},
      {{"render", "--background", "@bg.png", "--head", "@head.png", "--mask", "@junk.zip", "--rect",
        "8,8,32,32", "--layer", "32x24@2", "--out", "@bad.png"},
       1,
       "",
       "cannot be loaded as a mask"},
  };
  expectRows(rows);
  EXPECT_FALSE(fs::exists(path("bad.png")));

  std::vector<uint8_t> out;
  int32_t w = 0, h = 0;
  std::string error;
  ASSERT_TRUE(orsa::gl::readPngRGBA(path("out.png"), out, w, h, error)) << error;
  ASSERT_EQ(w, 64);
  ASSERT_EQ(h, 48);
  auto at = [&](int x, int y) {
    return std::vector<int>(&out[(y * 64 + x) * 4], &out[(y * 64 + x) * 4 + 4]);
  };
  EXPECT_EQ(at(2, 2), (std::vector<int>{240, 0, 0, 255}));    // background
  EXPECT_EQ(at(12, 24), (std::vector<int>{0, 0, 240, 255}));  // head, blue stays blue
  EXPECT_EQ(at(36, 24), (std::vector<int>{240, 0, 0, 255}));  // masked out
}

// orsa demo (and orsa agent, which feeds packages through the same sender) reads the package's
// manifest.json; a manifest it cannot use ends the run with its fault, never with a crash.
TEST_F(ToolContract, BadManifestsEndTheDemoWithTheirFault) {
  ASSERT_EQ(sample_.exitCode, 0) << sample_.err;
  const fs::path files = path("sample-files");
  ASSERT_TRUE(VZZipArchive::unzipFileAtPath(path("sample.zip"), files.string()));
  const nlohmann::json good = nlohmann::json::parse(readFile(files / "manifest.json"));
  using Edit = std::function<void(nlohmann::json&)>;
  const auto withManifest = [&](const std::string& name, const std::string& manifest) {
    ZipWriter w(path(name));
    for (const char* f : {"origin.mp4", "interpolations.mp4", "interpolations.json", "border.png"})
      w.file(f, readFile(files / f));
    ASSERT_TRUE(w.file("manifest.json", manifest).close());
  };
  const std::vector<std::tuple<std::string, Edit, std::string>> cases = {
      {"type", [](nlohmann::json& m) { m["fps"] = "25"; },
       "manifest.json: fps is not a whole number"},
      {"frame-type", [](nlohmann::json& m) { m["frames"][0]["x"] = 1.5; },
       "frames[0].x is not a whole"},
      {"not-object", [](nlohmann::json& m) { m["frames"][2] = 7; }, "frames[2] is not an object"},
      {"no-frames", [](nlohmann::json& m) { m.erase("frames"); },
       "manifest.json: frames is missing"},
      {"no-height", [](nlohmann::json& m) { m["frames"][1].erase("height"); },
       "frames[1].height is missing"},
      {"outside",
       [](nlohmann::json& m) { m["frames"][1]["x"] = 64 - m["frames"][1]["width"].get<int>() + 1; },
       "frames[1] ("},
      // Without a declared picture size the decoded origin frame is what bounds the rectangle.
      {"outside-frame",
       [](nlohmann::json& m) {
         m.erase("width");
         m.erase("height");
         m["frames"][3]["y"] = 95;
       },
       "manifest.json: frames[3] lies outside origin frame 3 (64x96)"},
      {"far-outside", [](nlohmann::json& m) { m["frames"][0]["x"] = 2147483000; },
       "frames[0].x is out of"},
      {"negative", [](nlohmann::json& m) { m["frames"][0]["width"] = -5; },
       "frames[0].width is out of range"},
      {"absurd", [](nlohmann::json& m) { m["frames"][0]["height"] = 100000; },
       "frames[0].height is out of"},
      {"fps", [](nlohmann::json& m) { m["fps"] = 0; },
       "manifest.json: fps is out of range (1 to 120)"},
  };
  for (const auto& [name, edit, message] : cases) {
    nlohmann::json m = good;
    edit(m);
    withManifest(name + ".zip", m.dump());
  }
  withManifest("not-json.zip", "{\"fps\": 25, \"frames\": [");
  std::vector<std::pair<std::string, std::string>> runs = {
      {"not-json", "manifest.json: not valid JSON"}};
  for (const auto& [name, edit, message] : cases) runs.emplace_back(name, message);
  for (const auto& [name, message] : runs) {
    CommandResult r = run({"demo", "--package", "@" + name + ".zip", "--seconds", "1", "--out",
                           "@demo-" + name, "--no-record"});
    EXPECT_EQ(r.exitCode, 1) << name << "\n" << r.err;
    EXPECT_NE(r.err.find("orsa demo: " + path(name + ".zip") + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << name << "\n" << r.err;
    EXPECT_EQ(r.out, "") << name;
  }
}

}  // namespace
