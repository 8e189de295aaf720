#include "render/OrsaFrameData.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "orsa/QMXVideoFrameParam.h"
#include "render/BufferPool.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Fields = std::array<int64_t, 9>;

Bytes wordsLE(const std::vector<uint32_t>& words) {
  Bytes out;
  for (uint32_t w : words) {
    out.push_back(static_cast<uint8_t>(w));
    out.push_back(static_cast<uint8_t>(w >> 8));
    out.push_back(static_cast<uint8_t>(w >> 16));
    out.push_back(static_cast<uint8_t>(w >> 24));
  }
  return out;
}

Fields fieldsOf(const OrsaFrameData& f) {
  return {f.fps(),  f.type(), f.startIndex(), f.endIndex(), f.frameIndex(),
          f.left(), f.top(),  f.right(),      f.bottom()};
}

Bytes unescaped(const Bytes& in) {
  Bytes out(in.size() + 1);
  size_t n = OrsaFrameData::unescape(in.data(), in.size(), out.data(), out.size());
  out.resize(n);
  return out;
}

// Inserts emulation-prevention bytes the way an encoder does: a 0x03 wherever two zero bytes
// would otherwise be followed by a byte of 0x00-0x03, and after a trailing pair of zeros.
Bytes escape(const Bytes& raw) {
  Bytes out;
  int zeros = 0;
  for (uint8_t b : raw) {
    if (zeros >= 2 && b <= 0x03) {
      out.push_back(0x03);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  if (zeros >= 2) out.push_back(0x03);
  return out;
}

// Fields read straight from an unescaped record, sign-extended.
Fields fieldsFromRaw(const Bytes& raw) {
  Fields out{};
  for (size_t i = 0; i < out.size(); ++i) {
    uint32_t u = 0;
    for (size_t k = 0; k < 4; ++k) u |= static_cast<uint32_t>(raw[i * 4 + k]) << (8 * k);
    out[i] = static_cast<int32_t>(u);
  }
  return out;
}

// The payload as a sender puts it on the wire: the words, escaped.
OrsaFrameData parsedFrom(const std::vector<uint32_t>& words) {
  OrsaFrameData f;
  EXPECT_EQ(f.updateSEI(escape(wordsLE(words))), OrsaFrameData::SEIStatus::Ok);
  return f;
}

TEST(OrsaFrameDataTest, NewRecordIsEmpty) {
  OrsaFrameData f;
  EXPECT_EQ(fieldsOf(f), Fields{});
  EXPECT_FALSE(f.roiData());
  EXPECT_FALSE(f.originFrameData());
  EXPECT_EQ(f.roiWidth(), 0);
  EXPECT_EQ(f.roiHeight(), 0);
  EXPECT_EQ(f.originFrameWidth(), 0);
  EXPECT_EQ(f.originFrameHeight(), 0);
}

TEST(OrsaFrameDataTest, ParsesNineLittleEndianWordsWithSignExtension) {
  OrsaFrameData f =
      parsedFrom({25, 1, 0x01020304, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 704, 0xFFFFFFFE, 1216});
  EXPECT_EQ(fieldsOf(f), (Fields{25, 1, 0x01020304, -1, INT32_MIN, INT32_MAX, 704, -2, 1216}));

  // Byte order: the first byte is the least significant.
  Bytes bytes(36, 0);
  bytes[0] = 0x1E;
  bytes[1] = 0x01;
  bytes[34] = 0x80;  // high byte of bottom's third byte
  bytes[35] = 0xFF;
  OrsaFrameData g;
  ASSERT_EQ(g.updateSEI(bytes), OrsaFrameData::SEIStatus::Ok);
  EXPECT_EQ(g.fps(), 0x011E);
  EXPECT_EQ(g.bottom(), static_cast<int32_t>(0xFF800000u));
}

TEST(OrsaFrameDataTest, IgnoresWordsAfterTheNinth) {
  OrsaFrameData f = parsedFrom({30, 0, 0, 0, 42, 1, 2, 3, 4, 0xDEADBEEF});
  EXPECT_EQ(fieldsOf(f), (Fields{30, 0, 0, 0, 42, 1, 2, 3, 4}));
  OrsaFrameData g = parsedFrom({30, 0, 0, 0, 42, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(fieldsOf(g), fieldsOf(f));
}

TEST(OrsaFrameDataTest, UnescapesEmulationPreventionBytes) {
  // Removed after two zeros; the byte after it is copied whatever it is.
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x01}), (Bytes{0x00, 0x00, 0x01}));
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x7F}), (Bytes{0x00, 0x00, 0x7F}));
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x03}), (Bytes{0x00, 0x00, 0x03}));
  // Longer zero runs count too.
  EXPECT_EQ(unescaped({0x00, 0x00, 0x00, 0x03, 0x02}), (Bytes{0x00, 0x00, 0x00, 0x02}));
  // A single zero is not enough, nor is a zero run broken by another byte.
  EXPECT_EQ(unescaped({0x00, 0x03, 0x00}), (Bytes{0x00, 0x03, 0x00}));
  EXPECT_EQ(unescaped({0x00, 0x01, 0x00, 0x03}), (Bytes{0x00, 0x01, 0x00, 0x03}));
  // The zero after a removed 0x03 starts a new run of one.
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00}),
            (Bytes{0x00, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x00, 0x03, 0x01}), (Bytes{0x00, 0x00, 0x00, 0x03, 0x01}));
  // A kept 0x03 (copied after a removed one) ends the run.
  EXPECT_EQ(unescaped({0x00, 0x00, 0x03, 0x03, 0x00, 0x03}), (Bytes{0x00, 0x00, 0x03, 0x00, 0x03}));
  // A trailing 0x03 after two zeros vanishes and nothing takes its place.
  EXPECT_EQ(unescaped({0x05, 0x00, 0x00, 0x03}), (Bytes{0x05, 0x00, 0x00}));
  EXPECT_EQ(unescaped({0x03}), (Bytes{0x03}));
  EXPECT_EQ(unescaped({}), Bytes{});
}

TEST(OrsaFrameDataTest, UnescapeCountsPastItsCapacity) {
  const Bytes in = {1, 2, 0, 0, 3, 0, 5, 6, 7};
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(OrsaFrameData::unescape(in.data(), in.size(), out, 3), 8u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 0xEE);  // nothing written beyond the capacity
}

TEST(OrsaFrameDataTest, EscapedRecordsRoundTripAtEveryPosition) {
  // Records dense in zeros and small values put escapes at the start, the end, back to back
  // and across word boundaries.
  std::mt19937 rng(1215);
  int escapedRecords = 0;
  for (int round = 0; round < 2000; ++round) {
    Bytes raw(36);
    for (auto& b : raw) {
      uint32_t r = rng() % 8;
      b = r < 4 ? 0 : (r < 7 ? static_cast<uint8_t>(r - 4) : static_cast<uint8_t>(rng()));
    }
    Bytes payload = escape(raw);
    if (payload.size() != raw.size()) escapedRecords++;
    ASSERT_EQ(unescaped(payload), raw) << "round " << round;
    OrsaFrameData f;
    ASSERT_EQ(f.updateSEI(payload), OrsaFrameData::SEIStatus::Ok);
    ASSERT_EQ(fieldsOf(f), fieldsFromRaw(raw));
  }
  EXPECT_GT(escapedRecords, 1000);

  // An escape in each possible place of an all-zero record with one marker word.
  for (size_t pos = 0; pos < 9; ++pos) {
    std::vector<uint32_t> words(9, 0);
    words[pos] = 0x00000100;  // 00 01 00 00: two zeros before and after
    Bytes raw = wordsLE(words);
    OrsaFrameData f;
    ASSERT_EQ(f.updateSEI(escape(raw)), OrsaFrameData::SEIStatus::Ok);
    Fields want{};
    want[pos] = 0x100;
    EXPECT_EQ(fieldsOf(f), want) << "word " << pos;
  }
}

TEST(OrsaFrameDataTest, TrailingEscapeAfterTheRecordIsAccepted) {
  std::vector<uint32_t> words = {25, 0, 0, 0, 7, 10, 20, 30, 0x01000000};  // ends 00 00 00 01
  Bytes raw = wordsLE(words);
  raw[35] = 0;  // bottom = 0: the record ends in a zero run
  Bytes payload = raw;
  payload.push_back(0x03);
  OrsaFrameData f;
  ASSERT_EQ(f.updateSEI(payload), OrsaFrameData::SEIStatus::Ok);
  EXPECT_EQ(fieldsOf(f), (Fields{25, 0, 0, 0, 7, 10, 20, 30, 0}));
}

TEST(OrsaFrameDataTest, RefusedPayloadsLeaveTheRecordUnchanged) {
  const std::vector<uint32_t> words = {25, 1, 3, 9, 5, 100, 200, 612, 712};
  OrsaFrameData f = parsedFrom(words);
  const Fields before = fieldsOf(f);

  EXPECT_EQ(f.updateSEI(nullptr, 0), OrsaFrameData::SEIStatus::Empty);
  EXPECT_EQ(f.updateSEI(static_cast<const std::vector<uint8_t>*>(nullptr)),
            OrsaFrameData::SEIStatus::Empty);
  const uint8_t one = 7;
  EXPECT_EQ(f.updateSEI(&one, 0), OrsaFrameData::SEIStatus::Empty);
  EXPECT_EQ(f.updateSEI(Bytes{}), OrsaFrameData::SEIStatus::Empty);
  EXPECT_EQ(fieldsOf(f), before);

  // Every length short of a full record, made of non-zero bytes so nothing is unescaped.
  for (size_t n = 1; n < 36; ++n) {
    EXPECT_EQ(f.updateSEI(Bytes(n, 0x41)), OrsaFrameData::SEIStatus::SizeNotFit) << n;
  }
  // A whole number of words past nine is fine, a broken one is not.
  EXPECT_EQ(f.updateSEI(Bytes(37, 0x41)), OrsaFrameData::SEIStatus::SizeNotFit);
  EXPECT_EQ(f.updateSEI(Bytes(39, 0x41)), OrsaFrameData::SEIStatus::SizeNotFit);
  EXPECT_EQ(fieldsOf(f), before);

  // 00 00 03 01 and 32 more bytes: the escape shrinks it to 35.
  Bytes shrunk = {0x00, 0x00, 0x03, 0x01};
  shrunk.insert(shrunk.end(), 32, 0x22);
  EXPECT_EQ(f.updateSEI(shrunk), OrsaFrameData::SEIStatus::SizeNotFit);
  // 36 bytes on the wire, 32 after unescaping: whole words, but too few.
  Bytes short32 = {0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x01,
                   0x00, 0x00, 0x03, 0x01, 0x00, 0x00, 0x03, 0x01};
  short32.insert(short32.end(), 20, 0x22);
  ASSERT_EQ(short32.size(), 36u);
  EXPECT_EQ(f.updateSEI(short32), OrsaFrameData::SEIStatus::SizeNotFit);
  EXPECT_EQ(fieldsOf(f), before);

  EXPECT_STREQ(OrsaFrameData::seiStatusText(OrsaFrameData::SEIStatus::Empty),
               "updateSEI failed, data empty!");
  EXPECT_STREQ(OrsaFrameData::seiStatusText(OrsaFrameData::SEIStatus::SizeNotFit),
               "updateSEI failed, data size not fit!");
}

TEST(OrsaFrameDataTest, RoiCopyIsCompleteAndPooled) {
  BufferPool& pool = BufferPool::sharedInstance();
  pool.clear();
  const int32_t w = 3, h = 2;
  Bytes src(w * h * 4);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);

  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(src.data(), src.size(), w, h), OrsaFrameData::ROIStatus::Ok);
  ASSERT_TRUE(f.roiData());
  EXPECT_EQ(*f.roiData(), src);
  EXPECT_EQ(f.roiWidth(), w);
  EXPECT_EQ(f.roiHeight(), h);
  // The caller may reuse its memory at once.
  const Bytes copy = src;
  std::fill(src.begin(), src.end(), 0);
  EXPECT_EQ(*f.roiData(), copy);

  // After the view returns the buffer, the next frame of that size reuses it.
  const OrsaByteBuffer* first = f.roiData().get();
  pool.giveBack(f.roiData());
  OrsaFrameData g;
  ASSERT_EQ(g.updateROIFrame(copy.data(), copy.size(), w, h), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(g.roiData().get(), first);
  EXPECT_EQ(*g.roiData(), copy);
}

TEST(OrsaFrameDataTest, RoiLengthsThatDoNotFitAreRefused) {
  const Bytes src(4 * 4 * 4 + 8, 0x3C);
  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(src.data(), 64, 4, 4), OrsaFrameData::ROIStatus::Ok);
  const OrsaBuffer kept = f.roiData();

  EXPECT_EQ(f.updateROIFrame(src.data(), 63, 4, 4), OrsaFrameData::ROIStatus::ShortData);
  EXPECT_EQ(f.updateROIFrame(nullptr, 64, 4, 4), OrsaFrameData::ROIStatus::ShortData);
  EXPECT_EQ(f.updateROIFrame(src.data(), 64, -4, 4), OrsaFrameData::ROIStatus::BadSize);
  EXPECT_EQ(f.updateROIFrame(src.data(), 64, 4, -1), OrsaFrameData::ROIStatus::BadSize);
  // A product that would overflow 32 bits must not wrap into "fits".
  EXPECT_EQ(f.updateROIFrame(src.data(), src.size(), 65536, 65536),
            OrsaFrameData::ROIStatus::ShortData);
  EXPECT_EQ(f.roiData(), kept);
  EXPECT_EQ(f.roiWidth(), 4);
  EXPECT_EQ(f.roiHeight(), 4);

  // More bytes than the pixels need are copied whole.
  ASSERT_EQ(f.updateROIFrame(src.data(), src.size(), 4, 4), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(f.roiData()->size(), src.size());

  // Length 0 with no pixels stores an empty buffer.
  OrsaFrameData e;
  ASSERT_EQ(e.updateROIFrame(nullptr, 0, 0, 0), OrsaFrameData::ROIStatus::Ok);
  ASSERT_TRUE(e.roiData());
  EXPECT_TRUE(e.roiData()->empty());
}

TEST(OrsaFrameDataTest, RoiRowsWithStrideArePacked) {
  const int32_t w = 3, h = 4, stride = 20;  // 12 bytes of pixels, 8 of padding per row
  Bytes plane(static_cast<size_t>(stride) * h, 0xEE);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w * 4; ++x) plane[y * stride + x] = static_cast<uint8_t>(y * 16 + x);

  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(plane.data(), plane.size(), w, h, stride),
            OrsaFrameData::ROIStatus::Ok);
  ASSERT_EQ(f.roiData()->size(), static_cast<size_t>(w * h * 4));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w * 4; ++x)
      ASSERT_EQ((*f.roiData())[y * w * 4 + x], static_cast<uint8_t>(y * 16 + x)) << y << "," << x;

  // The last row need not carry its padding.
  const uint64_t tight = static_cast<uint64_t>(stride) * (h - 1) + w * 4;
  OrsaFrameData g;
  ASSERT_EQ(g.updateROIFrame(plane.data(), tight, w, h, stride), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(*g.roiData(), *f.roiData());
  EXPECT_EQ(g.updateROIFrame(plane.data(), tight - 1, w, h, stride),
            OrsaFrameData::ROIStatus::ShortData);
  EXPECT_EQ(g.updateROIFrame(plane.data(), plane.size(), w, h, w * 4 - 1),
            OrsaFrameData::ROIStatus::BadSize);

  // Rows without pixels need no bytes, whatever the stride.
  OrsaFrameData z;
  ASSERT_EQ(z.updateROIFrame(nullptr, 0, 0, 4, 16), OrsaFrameData::ROIStatus::Ok);
  ASSERT_TRUE(z.roiData());
  EXPECT_TRUE(z.roiData()->empty());
  EXPECT_EQ(z.roiHeight(), 4);

  // A stride of a packed row (or 0) is the plain copy of every byte.
  OrsaFrameData p;
  ASSERT_EQ(p.updateROIFrame(plane.data(), plane.size(), 5, 4, 20), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(*p.roiData(), plane);
  ASSERT_EQ(p.updateROIFrame(plane.data(), plane.size(), 5, 4, 0), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(*p.roiData(), plane);
}

TEST(OrsaFrameDataTest, OriginFrameIsStoredWithoutCopy) {
  auto buffer = std::make_shared<OrsaByteBuffer>(16, 0x77);
  OrsaFrameData f;
  f.updateOriginFrame(buffer, 2, 2);
  EXPECT_EQ(f.originFrameData().get(), buffer.get());
  EXPECT_EQ(f.originFrameWidth(), 2);
  EXPECT_EQ(f.originFrameHeight(), 2);
  f.updateOriginFrame(nullptr, 0, 0);
  EXPECT_FALSE(f.originFrameData());
  EXPECT_EQ(buffer.use_count(), 1);
}

TEST(QMXVideoFrameParamTest, StridesOutsideThePlanesReadZeroAndAreNotWritten) {
  QMXVideoFrameParam p;
  EXPECT_EQ(p.width(), 0);
  EXPECT_EQ(p.height(), 0);
  EXPECT_EQ(p.rotation(), 0);
  EXPECT_EQ(p.format(), 0);
  for (int i = -1; i <= 4; ++i) EXPECT_EQ(p.strideAtIndex(i), 0);

  for (int i = 0; i < 4; ++i) p.setStride(100 + i, i);
  p.setStride(999, -1);
  p.setStride(999, 4);
  p.setStride(999, INT32_MIN);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p.strideAtIndex(i), 100 + i);
  EXPECT_EQ(p.strideAtIndex(-1), 0);
  EXPECT_EQ(p.strideAtIndex(4), 0);
  EXPECT_EQ(p.strideAtIndex(INT32_MAX), 0);
  EXPECT_EQ(p.stridesArray(), (std::array<int32_t, 4>{100, 101, 102, 103}));

  p.setWidth(1080);
  p.setHeight(-1920);
  p.setFormat(int64_t{1} << 40);
  EXPECT_EQ(p.width(), 1080);
  EXPECT_EQ(p.height(), -1920);
  EXPECT_EQ(p.format(), int64_t{1} << 40);
}

}  // namespace
