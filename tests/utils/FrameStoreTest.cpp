// Reading frames out of a prepared store: JPEG and raw RGBA decoding, file naming, the
// interpolation table and hostile input.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "ResourceTestPackage.h"
#include "render/BufferPool.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using namespace orsa::test;

namespace {

// Mean absolute difference over the colour channels; alpha must be exactly opaque.
double meanError(const std::shared_ptr<Image>& img, const std::vector<uint8_t>& expected) {
  if (!img || img->data()->size() != expected.size()) return 1e9;
  double sum = 0;
  for (size_t i = 0; i < expected.size(); ++i)
    sum += i % 4 == 3 ? (img->bytes()[i] != 255) * 1e9 : std::abs(img->bytes()[i] - expected[i]);
  return sum / (expected.size() / 4 * 3);
}

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

class FrameStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = home_.path() / "store";
    fs::create_directories(dir_ / "frames");
    fs::create_directories(dir_ / "interpolations");
    manager_->setResourceDir(dir_.string());
    manager_->setOriginFramesDir((dir_ / "frames").string());
    manager_->setInterpolationDir((dir_ / "interpolations").string());
  }

  TempHome home_;
  fs::path dir_;
  std::shared_ptr<ResourceManager> manager_ = ResourceManager::create();
};

}  // namespace

TEST_F(FrameStoreTest, JpegFramesDecodeToPackedRGBAOfTheirOwnSizeFromThePool) {
  auto a = patternRGBA(64, 48, 1), b = patternRGBA(31, 17, 2);  // odd: rows come back packed
  writeFile(dir_ / "frames" / "000000.jpg", encodeJpeg(a, 64, 48));
  writeFile(dir_ / "frames" / "000007.jpg", encodeJpeg(b, 31, 17));
  writeFile(dir_ / "frames" / "1234567.jpg", encodeJpeg(a, 64, 48));
  EXPECT_LT(meanError(manager_->readOriginFrame(0), a), 3.0);
  auto img = manager_->readOriginFrame(7);
  EXPECT_LT(meanError(img, b), 3.0);
  EXPECT_EQ(img->width(), 31);
  EXPECT_EQ(img->height(), 17);
  // The in-memory decoder gives the same picture (fast DCT may differ by a little).
  EXPECT_LT(meanError(ResourceManager::decodeJpeg(bytesOf(encodeJpeg(b, 31, 17))), b), 3.0);
  // Names have at least six digits; no file, or a folder in its place, is no frame.
  EXPECT_TRUE(manager_->readOriginFrame(1234567));
  fs::create_directories(dir_ / "frames" / "000005.jpg");
  for (int missing : {1, 5, 8, -1}) EXPECT_FALSE(manager_->readOriginFrame(missing)) << missing;

  // Pixels come from the shared pool, and a buffer given back is used again.
  const uint8_t* address = img->data()->data();
  BufferPool::sharedInstance().giveBack(img->data());
  img.reset();
  EXPECT_EQ(manager_->readOriginFrame(7)->data()->data(), address);
}

TEST_F(FrameStoreTest, BrokenOrHugeJpegsGiveNothingAndTakeNoBuffer) {
  std::string good = encodeJpeg(patternRGBA(32, 32, 5), 32, 32);
  // Rewrites the picture size in the frame header.
  auto withSize = [&](uint16_t w, uint16_t h) {
    std::string j = good;
    size_t sof = j.find("\xFF\xC0");
    j[sof + 5] = char(h >> 8), j[sof + 6] = char(h), j[sof + 7] = char(w >> 8),
            j[sof + 8] = char(w);
    return j;
  };
  const size_t bucketsBefore = BufferPool::sharedInstance().bucketCount();
  // Sizes whose RGBA byte count overflows 32 bits, or is merely absurd, are refused before any
  // buffer is taken.
  for (const std::string& bad :
       {std::string("not a jpeg at all"), std::string(), good.substr(0, 20), withSize(65500, 65500),
        withSize(60000, 10000), withSize(16384, 16385)}) {
    writeFile(dir_ / "frames" / "000003.jpg", bad);
    EXPECT_FALSE(manager_->readOriginFrame(3)) << bad.size();
    EXPECT_FALSE(ResourceManager::decodeJpeg(bytesOf(bad)));
  }
  EXPECT_EQ(BufferPool::sharedInstance().bucketCount(), bucketsBefore);  // no buffer taken
  // Cut short in its scan data: refused or decoded at its declared size, never more.
  writeFile(dir_ / "frames" / "000004.jpg", good.substr(0, good.size() / 2));
  auto cut = manager_->readOriginFrame(4);
  if (cut) {
    EXPECT_EQ(cut->data()->size(), 32u * 32 * 4);
  }
}

// Render threads read at once; each keeps one decompressor and one read buffer for all its
// frames, and a broken file between good ones spoils nothing that follows on that thread.
TEST_F(FrameStoreTest, ConcurrentReadersKeepOneDecompressorPerThreadAndGetExactPixels) {
  constexpr int kFrames = 6, kThreads = 4, kRounds = 20;
  auto file = [&](int i) {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.jpg", i);
    return dir_ / "frames" / name;
  };
  std::vector<std::vector<uint8_t>> expected;
  for (int i = 0; i < kFrames; ++i) {
    const int w = 8 + 37 * i, h = 6 + 23 * (kFrames - i);  // sizes shrink and grow in turn
    writeFile(file(i), encodeJpeg(patternRGBA(w, h, i), w, h));
    auto img = manager_->readOriginFrame(i);
    ASSERT_TRUE(img);
    expected.emplace_back(img->bytes(), img->bytes() + img->data()->size());
  }
  writeFile(file(kFrames), "\xFF\xD8 broken");
  const uint64_t before = ResourceManager::decompressorsCreated();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r)
        for (int k = 0; k <= kFrames; ++k) {
          const int i = (k * (t + 1) + r) % (kFrames + 1);
          auto img = manager_->readOriginFrame(i);
          const bool right = i == kFrames ? !img
                                          : img && img->data()->size() == expected[i].size() &&
                                                std::memcmp(img->bytes(), expected[i].data(),
                                                            expected[i].size()) == 0;
          if (!right) ++wrong;
          if (img) BufferPool::sharedInstance().giveBack(img->data());
        }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(ResourceManager::decompressorsCreated() - before, uint64_t{kThreads});
}

TEST_F(FrameStoreTest, RawRGBAFilesMustHoldExactlyTheirDeclaredPixels) {
  auto raw = [](uint32_t w, uint32_t h, const std::vector<uint8_t>& px) {
    std::string s(8, '\0');
    for (int i = 0; i < 4; ++i) s[i] = char(w >> (8 * i)), s[4 + i] = char(h >> (8 * i));
    return s + std::string(px.begin(), px.end());
  };
  auto px = patternRGBA(5, 3, 6);
  std::string exact = raw(5, 3, px);
  writeFile(dir_ / "exact.rgba", exact);
  auto img = manager_->readRGBAFrameAtPath((dir_ / "exact.rgba").string());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->width(), 5);
  ASSERT_EQ(img->data()->size(), px.size());
  EXPECT_EQ(0, std::memcmp(img->bytes(), px.data(), px.size()));
  // 0x80000000 x 2 x 4 wraps to 0 in 32 bits and 0xFFFFFFFF² x 4 wraps in 64: the length must
  // never be compared against a wrapped value. An empty picture is no frame.
  for (const std::string& bad :
       {exact + "x", exact.substr(0, exact.size() - 1), exact.substr(0, 7), std::string(),
        raw(0x80000000u, 2, {}), raw(0xFFFFFFFFu, 0xFFFFFFFFu, std::vector<uint8_t>(16)),
        raw(0, 7, {})}) {
    writeFile(dir_ / "bad.rgba", bad);
    EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "bad.rgba").string())) << bad.size();
    EXPECT_FALSE(ResourceManager::decodeRawRGBA(bytesOf(bad)));
  }
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "absent.rgba").string()));
  EXPECT_FALSE(manager_->readRGBAFrameAtPath(dir_.string()));
}

TEST_F(FrameStoreTest, InterpolationLookupsFollowTheLastReadableTable) {
  auto json = [&](const std::string& text) { writeFile(dir_ / "interpolations.json", text); };
  for (int i = 0; i < 3; ++i)
    writeFile(dir_ / "interpolations" / ("00000" + std::to_string(i) + ".jpg"),
              encodeJpeg(patternRGBA(12 + 2 * i, 10, i), 12 + 2 * i, 10));
  auto widthOf = [&](int s, int e, int i) {
    auto img = manager_->readInterpolationWithStart(s, e, i);
    return img ? img->width() : 0;
  };
  EXPECT_EQ(widthOf(3, 17, 2), 0);  // no table yet
  // Entry positions are the interpolation frame numbers; the first 14 bytes mean nothing.
  json(R"(["abcdefghijklmn0-5-1", "xxxxxxxxxxxxxx3-17-2", "~~~~~~~~~~~~~~9-9-9"])");
  manager_->readInterpolationInfo();
  EXPECT_EQ(widthOf(3, 17, 2), 14);
  EXPECT_EQ(widthOf(9, 9, 9), 16);
  EXPECT_EQ(widthOf(17, 3, 2), 0);
  // A malformed or missing document keeps the table; a valid one replaces it whole.
  for (const char* bad : {"{\"a\": 1}", "not json", "\"abcdefghijklmn1-2-3\"", "[1, 2", ""}) {
    if (*bad)
      json(bad);
    else
      fs::remove(dir_ / "interpolations.json");
    manager_->readInterpolationInfo();
    EXPECT_EQ(widthOf(3, 17, 2), 14) << bad;
  }
  json(R"(["..............1-1-1"])");
  manager_->readInterpolationInfo();
  EXPECT_EQ(widthOf(3, 17, 2), 0);
  EXPECT_EQ(widthOf(1, 1, 1), 12);
}

// Entries are "%d-%d-%d" after 14 bytes that carry no meaning; unreadable ones are skipped but
// keep their position, and a later duplicate wins.
TEST(InterpolationTable, EntriesAreReadAfterFourteenBytesAndKeepTheirPositions) {
  auto map = ResourceManager::parseInterpolationInfo(R"([
    "abcdefghijklmn1-2-3", "..............4-5-6", "abcdefghijklmn1-2-3", "ééééééé7-8-9",
    "12345678901234 10- 11- 12", "abcdefghijklmn13-14-15trailing", "abcdefghijklmn-1--2--3",
    42, null, {"a": "abcdefghijklmn1-1-1"}, ["abcdefghijklmn1-1-1"], "short1-1-1",
    "abcdefghijklmn", "abcdefghijklmn1-2", "abcdefghijklmn1-2-", "abcdefghijklmnx-2-3",
    "abcdefghijklmn1 -2-3", "abcdefghijklmn99999999999-1-1", "abcdefghijklmn1-1-2147483648",
    "abcdefghijklmn2-2-2147483647"
  ])");
  ASSERT_TRUE(map);
  auto key = ResourceManager::interpolationKey;
  const std::map<uint64_t, int32_t> expected = {
      {key(1, 2, 3), 2},    {key(4, 5, 6), 1},    {key(7, 8, 9), 3},          {key(10, 11, 12), 4},
      {key(13, 14, 15), 5}, {key(-1, -2, -3), 6}, {key(2, 2, 2147483647), 19}};
  EXPECT_EQ((std::map<uint64_t, int32_t>(map->begin(), map->end())), expected);
  EXPECT_TRUE(ResourceManager::parseInterpolationInfo("[]")->empty());
  for (const std::string& bad : {std::string("{}"), std::string("\"abcdefghijklmn1-2-3\""),
                                 std::string(), std::string(100000, '[')})
    EXPECT_FALSE(ResourceManager::parseInterpolationInfo(bad)) << bad.substr(0, 10);
}
