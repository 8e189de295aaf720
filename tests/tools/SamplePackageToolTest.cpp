#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "platform/MediaReader.h"
#include "support/TestSupport.h"
#include "utils/DataCodec.h"

namespace fs = std::filesystem;
using orsa::platform::MediaFrame;
using orsa::platform::MediaReader;
using orsa::test::runCommand;
using orsa::test::TempDir;

namespace {

std::string tool() {
  return orsa::test::orsaToolPath();
}

struct Video {
  int width = 0, height = 0;
  double fps = 0;
  std::vector<std::unique_ptr<MediaFrame>> frames;
};

Video readVideo(const fs::path& path) {
  Video v;
  auto reader = MediaReader::openFirstVideoTrack(path.string());
  if (!reader || !reader->addOutput(orsa::platform::kMediaPixelFormatBGRA) ||
      !reader->startReading())
    return v;
  v.width = reader->width();
  v.height = reader->height();
  v.fps = reader->nominalFrameRate();
  while (reader->status() == MediaReader::Status::Reading)
    if (auto f = reader->copyNextSampleBuffer()) v.frames.push_back(std::move(f));
  return v;
}

struct Png {
  int width = 0, height = 0;
  std::vector<uint8_t> rgba;
};

bool readPng(const fs::path& path, Png& out) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.string().c_str())) return false;
  img.format = PNG_FORMAT_RGBA;
  out.width = static_cast<int>(img.width);
  out.height = static_cast<int>(img.height);
  out.rgba.resize(PNG_IMAGE_SIZE(img));
  bool ok = png_image_finish_read(&img, nullptr, out.rgba.data(), 0, nullptr) != 0;
  png_image_free(&img);
  return ok;
}

const uint8_t* pixel(MediaFrame& f, int x, int y) {
  return f.lockBaseAddress() + static_cast<size_t>(y) * f.bytesPerRow() + x * 4;
}

class SamplePackageToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (tool().empty()) GTEST_SKIP() << "the orsa tool is not built";
  }
  TempDir dir_;
};

}  // namespace

TEST_F(SamplePackageToolTest, BuildsACompletePackage) {
  fs::path zip = dir_.path() / "pkg.zip";
  auto r = runCommand(tool() + " sample-package " + zip.string() +
                      " --frames 20 --size 128x224 --fps 10");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("20 frames"), std::string::npos) << r.out;

  // Videos are stored, the small files deflated.
  auto list = runCommand("unzip -v " + zip.string());
  ASSERT_EQ(list.exitCode, 0) << list.err;
  for (const char* name :
       {"origin.mp4", "interpolations.mp4", "interpolations.json", "border.png", "manifest.json"})
    EXPECT_NE(list.out.find(name), std::string::npos) << name;
  auto methodOf = [&](const std::string& name) {
    auto at = list.out.find(name);
    auto lineStart = list.out.rfind('\n', at);
    return list.out.substr(lineStart + 1, at - lineStart - 1);
  };
  EXPECT_NE(methodOf("origin.mp4").find("Stored"), std::string::npos);
  EXPECT_NE(methodOf("interpolations.mp4").find("Stored"), std::string::npos);
  EXPECT_NE(methodOf("manifest.json").find("Defl"), std::string::npos);

  fs::path out = dir_.path() / "x";
  ASSERT_EQ(runCommand("unzip -q " + zip.string() + " -d " + out.string()).exitCode, 0);

  Video origin = readVideo(out / "origin.mp4");
  ASSERT_EQ(origin.frames.size(), 20u);
  EXPECT_EQ(origin.width, 128);
  EXPECT_EQ(origin.height, 224);
  EXPECT_NEAR(origin.fps, 10.0, 0.01);

  auto table = nlohmann::json::parse(orsa::test::readFile(out / "interpolations.json"));
  ASSERT_TRUE(table.is_array());
  Video interp = readVideo(out / "interpolations.mp4");
  ASSERT_EQ(interp.frames.size(), table.size());
  ASSERT_GT(table.size(), 0u);
  std::set<std::tuple<int, int, int>> triples;
  for (auto& e : table) {
    ASSERT_TRUE(e.is_string());
    std::string s = e.get<std::string>();
    ASSERT_GT(s.size(), 14u);
    int start = -1, end = -1, index = -1;
    ASSERT_EQ(std::sscanf(s.c_str() + 14, "%d-%d-%d", &start, &end, &index), 3) << s;
    EXPECT_GE(start, 0);
    EXPECT_LT(start, 20);
    EXPECT_GE(end, 0);
    EXPECT_LT(end, 20);
    EXPECT_GE(index, 0);
    triples.insert({start, end, index});
  }
  EXPECT_EQ(triples.size(), table.size()) << "every entry names a distinct triple";

  auto manifest = nlohmann::json::parse(orsa::test::readFile(out / "manifest.json"));
  EXPECT_EQ(manifest["fps"], 10);
  ASSERT_EQ(manifest["frames"].size(), 20u);
  Png border;
  ASSERT_TRUE(readPng(out / "border.png", border));
  std::set<std::pair<int, int>> positions;
  for (size_t i = 0; i < 20; ++i) {
    auto& h = manifest["frames"][i];
    int x = h["x"], y = h["y"], w = h["width"], hh = h["height"];
    EXPECT_EQ(h["frame"], static_cast<int>(i));
    EXPECT_EQ(w, border.width);
    EXPECT_EQ(hh, border.height);
    EXPECT_GE(x, 0);
    EXPECT_GE(y, 0);
    EXPECT_LE(x + w, 128);
    EXPECT_LE(y + hh, 224);
    positions.insert({x, y});
    // The face is in the middle of its rectangle: skin (red above blue), while the sky in the
    // top-left corner is blue above red.
    const uint8_t* face = pixel(*origin.frames[i], x + w / 2, y + hh / 2);
    EXPECT_GT(face[2], face[0] + 30) << "frame " << i;
    const uint8_t* sky = pixel(*origin.frames[i], 2, 2);
    EXPECT_GT(sky[0], sky[2] + 30);
  }
  EXPECT_GT(positions.size(), 1u) << "the head moves";

  // The mask is opaque in the middle and clear at the rim.
  auto at = [&](int x, int y, int c) {
    return border.rgba[(static_cast<size_t>(y) * border.width + x) * 4 + c];
  };
  EXPECT_EQ(at(border.width / 2, border.height / 2, 3), 255);
  EXPECT_LT(at(0, 0, 3), 8);
  EXPECT_LT(at(0, border.height / 2, 3), 40);
  EXPECT_EQ(at(border.width / 2, border.height / 2, 0), 255);

  // Consecutive origin frames differ (the figure breathes, the sun moves).
  int differing = 0;
  for (int y = 0; y < 224; ++y)
    for (int x = 0; x < 128; ++x)
      if (std::abs(pixel(*origin.frames[0], x, y)[0] - pixel(*origin.frames[5], x, y)[0]) > 8)
        ++differing;
  EXPECT_GT(differing, 100);

  // The library turns the package video into frame files.
  fs::path frames = dir_.path() / "frames";
  fs::create_directories(frames);
  ASSERT_TRUE(
      OrsaMirelo::extractVideoFramesToDirectory((out / "origin.mp4").string(), frames.string()));
  EXPECT_TRUE(fs::exists(frames / "000019.jpg"));
  EXPECT_FALSE(fs::exists(frames / "000020.jpg"));
}

TEST_F(SamplePackageToolTest, DefaultsAreSmallAndSingleFrameWorks) {
  fs::path zip = dir_.path() / "one.zip";
  auto r = runCommand(tool() + " sample-package " + zip.string() + " --frames=1");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  fs::path out = dir_.path() / "one";
  ASSERT_EQ(runCommand("unzip -q " + zip.string() + " -d " + out.string()).exitCode, 0);
  Video origin = readVideo(out / "origin.mp4");
  ASSERT_EQ(origin.frames.size(), 1u);
  EXPECT_EQ(origin.width, 540);
  EXPECT_EQ(origin.height, 960);
  // One frame has nothing to interpolate between: the table is empty and the clip absent.
  EXPECT_FALSE(fs::exists(out / "interpolations.mp4"));
  EXPECT_EQ(nlohmann::json::parse(orsa::test::readFile(out / "interpolations.json")).size(), 0u);
}

TEST_F(SamplePackageToolTest, RejectsBadArgumentsWithoutWritingAnything) {
  fs::path zip = dir_.path() / "bad.zip";
  const std::string base = tool() + " sample-package ";
  for (const std::string& args :
       {std::string(""), zip.string() + " --size 101x200", zip.string() + " --size 100",
        zip.string() + " --frames 0", zip.string() + " --frames x", zip.string() + " --fps",
        zip.string() + " --colour red", zip.string() + " other.zip"}) {
    auto r = runCommand(base + args);
    EXPECT_EQ(r.exitCode, 2) << args;
    EXPECT_NE(r.err.find("usage"), std::string::npos) << args;
  }
  EXPECT_FALSE(fs::exists(zip));

  fs::path nowhere = dir_.path() / "no" / "such" / "dir" / "p.zip";
  auto r = runCommand(base + nowhere.string() + " --frames 2 --size 32x32");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(r.err.empty());
  EXPECT_FALSE(fs::exists(nowhere));
}
