// Reading frames out of a prepared store: JPEG and raw RGBA decoding, file naming, the
// interpolation table and hostile input.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ResourceTestPackage.h"
#include "platform/AppContainer.h"
#include "render/BufferPool.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using namespace orsa::test;

namespace {

// Mean absolute difference over the colour channels; alpha must be exactly opaque.
double meanError(const Image& img, const std::vector<uint8_t>& expected) {
  EXPECT_EQ(img.data()->size(), expected.size());
  if (img.data()->size() != expected.size()) return 1e9;
  const uint8_t* got = img.bytes();
  double sum = 0;
  for (size_t i = 0; i < expected.size(); i += 4) {
    for (int c = 0; c < 3; ++c) sum += std::abs(int(got[i + c]) - int(expected[i + c]));
    EXPECT_EQ(got[i + 3], 255) << "alpha at byte " << i;
    if (got[i + 3] != 255) return 1e9;
  }
  return sum / (expected.size() / 4 * 3);
}

std::string rawRGBAFile(uint32_t w, uint32_t h, const std::vector<uint8_t>& px) {
  std::string s(8, '\0');
  for (int i = 0; i < 4; ++i) {
    s[i] = static_cast<char>((w >> (8 * i)) & 0xff);
    s[4 + i] = static_cast<char>((h >> (8 * i)) & 0xff);
  }
  s.append(reinterpret_cast<const char*>(px.data()), px.size());
  return s;
}

// Rewrites the picture size in the frame header of a baseline JPEG.
std::string withJpegSize(std::string jpeg, uint16_t w, uint16_t h) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (uint8_t(jpeg[i]) == 0xFF &&
        (uint8_t(jpeg[i + 1]) == 0xC0 || uint8_t(jpeg[i + 1]) == 0xC2)) {
      jpeg[i + 5] = char(h >> 8);
      jpeg[i + 6] = char(h & 0xff);
      jpeg[i + 7] = char(w >> 8);
      jpeg[i + 8] = char(w & 0xff);
      return jpeg;
    }
  }
  ADD_FAILURE() << "no frame header found";
  return jpeg;
}

class FrameStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orsa::platform::AppContainer::setRoot(home_.str());
    manager_ = ResourceManager::create();
    dir_ = home_.path() / "store";
    fs::create_directories(dir_ / "frames");
    fs::create_directories(dir_ / "interpolations");
    manager_->setResourceDir(dir_.string());
    manager_->setOriginFramesDir((dir_ / "frames").string());
    manager_->setInterpolationDir((dir_ / "interpolations").string());
  }

  void writeJson(const std::string& json) { writeFile(dir_ / "interpolations.json", json); }

  TempDir home_;
  fs::path dir_;
  std::shared_ptr<ResourceManager> manager_;
};

TEST_F(FrameStoreTest, JpegFramesDecodeToRGBAOfTheirOwnSizeAndPixels) {
  auto a = patternRGBA(64, 48, 1);
  auto b = patternRGBA(31, 17, 2);  // odd sizes: rows must come back packed
  writeFile(dir_ / "frames" / "000000.jpg", encodeJpeg(a, 64, 48));
  writeFile(dir_ / "frames" / "000007.jpg", encodeJpeg(b, 31, 17));

  auto img0 = manager_->readOriginFrame(0);
  ASSERT_TRUE(img0);
  EXPECT_EQ(img0->width(), 64);
  EXPECT_EQ(img0->height(), 48);
  EXPECT_LT(meanError(*img0, a), 3.0);

  auto img7 = manager_->readOriginFrame(7);
  ASSERT_TRUE(img7);
  EXPECT_EQ(img7->width(), 31);
  EXPECT_EQ(img7->height(), 17);
  EXPECT_LT(meanError(*img7, b), 3.0);

  // The in-memory decoder gives the same picture (fast DCT may differ by a little).
  std::string bytes = readFile(dir_ / "frames" / "000007.jpg");
  auto mem = ResourceManager::decodeJpeg(
      std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(mem);
  EXPECT_EQ(mem->width(), 31);
  EXPECT_LT(meanError(*mem, b), 3.0);
}

TEST_F(FrameStoreTest, FrameNumbersUseAtLeastSixDigitsAndMissingFramesGiveNothing) {
  auto px = patternRGBA(8, 8, 3);
  writeFile(dir_ / "frames" / "1234567.jpg", encodeJpeg(px, 8, 8));
  writeFile(dir_ / "frames" / "000042.jpg", encodeJpeg(px, 8, 8));
  EXPECT_TRUE(manager_->readOriginFrame(1234567));
  EXPECT_TRUE(manager_->readOriginFrame(42));
  EXPECT_FALSE(manager_->readOriginFrame(0));
  EXPECT_FALSE(manager_->readOriginFrame(43));
  EXPECT_FALSE(manager_->readOriginFrame(-1));
  // A directory where a frame file is expected is no frame either.
  fs::create_directories(dir_ / "frames" / "000005.jpg");
  EXPECT_FALSE(manager_->readOriginFrame(5));
}

TEST_F(FrameStoreTest, DecodedBuffersComeFromThePoolAndAreReused) {
  auto px = patternRGBA(40, 30, 4);
  writeFile(dir_ / "frames" / "000001.jpg", encodeJpeg(px, 40, 30));
  auto first = manager_->readOriginFrame(1);
  ASSERT_TRUE(first);
  ASSERT_EQ(first->data()->size(), 40u * 30 * 4);
  const uint8_t* address = first->data()->data();
  BufferPool::sharedInstance().giveBack(first->data());
  first.reset();
  auto second = manager_->readOriginFrame(1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->data()->data(), address);
  EXPECT_LT(meanError(*second, px), 3.0);
}

TEST_F(FrameStoreTest, BrokenJpegsGiveNothing) {
  auto px = patternRGBA(32, 32, 5);
  std::string good = encodeJpeg(px, 32, 32);

  writeFile(dir_ / "frames" / "000000.jpg", "not a jpeg at all");
  EXPECT_FALSE(manager_->readOriginFrame(0));
  writeFile(dir_ / "frames" / "000001.jpg", "");
  EXPECT_FALSE(manager_->readOriginFrame(1));
  writeFile(dir_ / "frames" / "000002.jpg", good.substr(0, 20));
  EXPECT_FALSE(manager_->readOriginFrame(2));

  // Sizes whose RGBA byte count overflows 32 bits, or is merely absurd, are refused before
  // any buffer is taken.
  const uint64_t idleBefore = BufferPool::sharedInstance().idleBytes();
  for (auto [w, h] :
       {std::pair<uint16_t, uint16_t>{65500, 65500}, {60000, 10000}, {16384, 16385}}) {
    std::string big = withJpegSize(good, w, h);
    writeFile(dir_ / "frames" / "000003.jpg", big);
    EXPECT_FALSE(manager_->readOriginFrame(3)) << w << "x" << h;
    EXPECT_FALSE(ResourceManager::decodeJpeg(
        std::span(reinterpret_cast<const uint8_t*>(big.data()), big.size())));
  }
  EXPECT_EQ(BufferPool::sharedInstance().idleBytes(), idleBefore);

  // A JPEG cut short in its scan data is either refused or decoded at its declared size,
  // never more.
  writeFile(dir_ / "frames" / "000004.jpg", good.substr(0, good.size() / 2));
  if (auto img = manager_->readOriginFrame(4)) {
    EXPECT_EQ(img->width(), 32);
    EXPECT_EQ(img->data()->size(), 32u * 32 * 4);
  }
  EXPECT_FALSE(ResourceManager::decodeJpeg({}));
}

TEST_F(FrameStoreTest, RawRGBAFilesMustHoldExactlyTheirDeclaredPixels) {
  auto px = patternRGBA(5, 3, 6);
  std::string exact = rawRGBAFile(5, 3, px);
  writeFile(dir_ / "exact.rgba", exact);
  auto img = manager_->readRGBAFrameAtPath((dir_ / "exact.rgba").string());
  ASSERT_TRUE(img);
  EXPECT_EQ(img->width(), 5);
  EXPECT_EQ(img->height(), 3);
  ASSERT_EQ(img->data()->size(), px.size());
  EXPECT_EQ(0, std::memcmp(img->bytes(), px.data(), px.size()));

  writeFile(dir_ / "long.rgba", exact + "x");
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "long.rgba").string()));
  writeFile(dir_ / "short.rgba", exact.substr(0, exact.size() - 1));
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "short.rgba").string()));
  writeFile(dir_ / "tiny.rgba", exact.substr(0, 7));
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "tiny.rgba").string()));
  writeFile(dir_ / "empty.rgba", "");
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "empty.rgba").string()));
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "absent.rgba").string()));
  EXPECT_FALSE(manager_->readRGBAFrameAtPath(dir_.string()));

  // Headers whose pixel count overflows: 0xFFFFFFFF² × 4 wraps to small numbers in 32 and
  // 64 bits alike, so the file length must never be compared against a wrapped value.
  std::string wrap = rawRGBAFile(0x80000000u, 2, {});  // × 4 wraps to 0 in 32 bits
  writeFile(dir_ / "wrap.rgba", wrap);
  EXPECT_FALSE(manager_->readRGBAFrameAtPath((dir_ / "wrap.rgba").string()));
  std::string huge = rawRGBAFile(0xFFFFFFFFu, 0xFFFFFFFFu, std::vector<uint8_t>(16));
  EXPECT_FALSE(ResourceManager::decodeRawRGBA(
      std::span(reinterpret_cast<const uint8_t*>(huge.data()), huge.size())));
  // An empty picture is no frame.
  std::string zero = rawRGBAFile(0, 7, {});
  EXPECT_FALSE(ResourceManager::decodeRawRGBA(
      std::span(reinterpret_cast<const uint8_t*>(zero.data()), zero.size())));
}

TEST_F(FrameStoreTest, InterpolationLookupsFollowTheTable) {
  // Entry positions are the interpolation frame numbers; the first 14 bytes mean nothing.
  writeJson(R"(["abcdefghijklmn0-5-1", "xxxxxxxxxxxxxx3-17-2", "~~~~~~~~~~~~~~9-9-9"])");
  auto p0 = patternRGBA(12, 10, 7), p1 = patternRGBA(14, 10, 8), p2 = patternRGBA(16, 10, 9);
  writeFile(dir_ / "interpolations" / "000000.jpg", encodeJpeg(p0, 12, 10));
  writeFile(dir_ / "interpolations" / "000001.jpg", encodeJpeg(p1, 14, 10));
  writeFile(dir_ / "interpolations" / "000002.jpg", encodeJpeg(p2, 16, 10));

  // Before any table there is nothing to look up.
  EXPECT_FALSE(manager_->interpolationMap());
  EXPECT_FALSE(manager_->readInterpolationWithStart(3, 17, 2));

  manager_->readInterpolationInfo();
  auto img = manager_->readInterpolationWithStart(3, 17, 2);
  ASSERT_TRUE(img);
  EXPECT_EQ(img->width(), 14);
  EXPECT_LT(meanError(*img, p1), 3.0);
  ASSERT_TRUE(manager_->readInterpolationWithStart(9, 9, 9));
  EXPECT_EQ(manager_->readInterpolationWithStart(9, 9, 9)->width(), 16);
  EXPECT_FALSE(manager_->readInterpolationWithStart(17, 3, 2));
  EXPECT_FALSE(manager_->readInterpolationWithStart(3, 17, 3));

  // A malformed document keeps the table that was there.
  for (const char* bad : {"{\"a\": 1}", "not json", "\"abcdefghijklmn1-2-3\"", "[1, 2"}) {
    writeJson(bad);
    manager_->readInterpolationInfo();
    EXPECT_TRUE(manager_->readInterpolationWithStart(3, 17, 2)) << bad;
  }
  // A new valid document replaces it whole.
  writeJson(R"(["..............1-1-1"])");
  manager_->readInterpolationInfo();
  EXPECT_FALSE(manager_->readInterpolationWithStart(3, 17, 2));
  ASSERT_TRUE(manager_->readInterpolationWithStart(1, 1, 1));
  EXPECT_EQ(manager_->readInterpolationWithStart(1, 1, 1)->width(), 12);
  // A missing document leaves it as well.
  fs::remove(dir_ / "interpolations.json");
  manager_->readInterpolationInfo();
  EXPECT_TRUE(manager_->readInterpolationWithStart(1, 1, 1));
}

TEST_F(FrameStoreTest, BorderPathFollowsTheResourceDirectory) {
  auto fresh = ResourceManager::create();
  EXPECT_FALSE(fresh->getBorderPath());
  EXPECT_EQ(fresh->borderImagePath(), "");
  EXPECT_FALSE(fresh->readOriginFrame(0));
  EXPECT_FALSE(fresh->readInterpolationWithStart(0, 0, 0));
  fresh->readInterpolationInfo();  // no resource directory: nothing to read, nothing breaks
  EXPECT_FALSE(fresh->interpolationMap());

  ASSERT_TRUE(manager_->getBorderPath());
  EXPECT_EQ(*manager_->getBorderPath(), (dir_ / "border.png").string());
  manager_->setResourceDir("/elsewhere/x");
  EXPECT_EQ(*manager_->getBorderPath(), "/elsewhere/x/border.png");
}

// ---- the interpolation table on its own ---------------------------------------------------

TEST(InterpolationTable, KeysPackTheTripleAsSixtyFourBits) {
  EXPECT_EQ(ResourceManager::interpolationKey(3, 17, 2), (3ull << 48) | (17ull << 24) | 2ull);
  EXPECT_EQ(ResourceManager::interpolationKey(65535, 16777215, 16777215), ~0ull);
  // end and index are sign-extended, start is taken unsigned; the bits combine by OR.
  EXPECT_EQ(ResourceManager::interpolationKey(0, -1, 0), 0xFFFFFFFFFF000000ull);
  EXPECT_EQ(ResourceManager::interpolationKey(0, 0, -1), ~0ull);
  EXPECT_EQ(ResourceManager::interpolationKey(-1, 0, 0), 0xFFFF000000000000ull);
  EXPECT_EQ(ResourceManager::interpolationKey(1 << 16, 0, 0), 0ull);
  EXPECT_NE(ResourceManager::interpolationKey(1, 2, 3), ResourceManager::interpolationKey(3, 2, 1));
}

TEST(InterpolationTable, EntriesAreReadAfterFourteenBytesAndLaterOnesWin) {
  auto key = ResourceManager::interpolationKey;
  auto map = ResourceManager::parseInterpolationInfo(R"([
    "abcdefghijklmn1-2-3",
    "..............4-5-6",
    "abcdefghijklmn1-2-3",
    "ééééééé7-8-9",
    "12345678901234 10- 11- 12",
    "abcdefghijklmn13-14-15trailing",
    "abcdefghijklmn-1--2--3"
  ])");
  ASSERT_TRUE(map);
  EXPECT_EQ(map->size(), 6u);
  EXPECT_EQ(map->at(key(1, 2, 3)), 2);  // the later duplicate wins
  EXPECT_EQ(map->at(key(4, 5, 6)), 1);
  EXPECT_EQ(map->at(key(7, 8, 9)), 3);  // 14 bytes, which here are 7 two-byte characters
  EXPECT_EQ(map->at(key(10, 11, 12)), 4);
  EXPECT_EQ(map->at(key(13, 14, 15)), 5);
  EXPECT_EQ(map->at(key(-1, -2, -3)), 6);
  EXPECT_LE(map->load_factor(), 1.0f);
}

TEST(InterpolationTable, UnreadableEntriesAreSkippedButKeepTheirPosition) {
  auto key = ResourceManager::interpolationKey;
  auto map = ResourceManager::parseInterpolationInfo(R"([
    42, null, {"a": "abcdefghijklmn1-1-1"}, ["abcdefghijklmn1-1-1"],
    "short1-1-1",
    "abcdefghijklmn",
    "abcdefghijklmn1-2",
    "abcdefghijklmn1-2-",
    "abcdefghijklmnx-2-3",
    "abcdefghijklmn1 -2-3",
    "abcdefghijklmn99999999999-1-1",
    "abcdefghijklmn1-1-2147483648",
    "abcdefghijklmn2-2-2147483647"
  ])");
  ASSERT_TRUE(map);
  ASSERT_EQ(map->size(), 1u);
  EXPECT_EQ(map->at(key(2, 2, 2147483647)), 12);

  EXPECT_TRUE(ResourceManager::parseInterpolationInfo("[]"));
  EXPECT_TRUE(ResourceManager::parseInterpolationInfo("[]")->empty());
  EXPECT_FALSE(ResourceManager::parseInterpolationInfo("{}"));
  EXPECT_FALSE(ResourceManager::parseInterpolationInfo("\"abcdefghijklmn1-2-3\""));
  EXPECT_FALSE(ResourceManager::parseInterpolationInfo(""));
  EXPECT_FALSE(ResourceManager::parseInterpolationInfo(std::string(100000, '[')));
}

}  // namespace
