#include "render/OrsaFrameData.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "orsa/QMXVideoFrameParam.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Fields = std::array<int64_t, 9>;
using Status = OrsaFrameData::SEIStatus;

Bytes wordsLE(const std::vector<uint32_t>& words) {
  Bytes out;
  for (uint32_t w : words)
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(w >> (8 * k)));
  return out;
}

// Emulation prevention as an encoder applies it: a 0x03 wherever two zero bytes would be
// followed by a byte of 0x00-0x03, and after a trailing pair of zeros.
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

Fields fieldsOf(const OrsaFrameData& f) {
  return {f.fps(),  f.type(), f.startIndex(), f.endIndex(), f.frameIndex(),
          f.left(), f.top(),  f.right(),      f.bottom()};
}

Bytes unescaped(const Bytes& in) {
  Bytes out(in.size() + 1);
  out.resize(OrsaFrameData::unescape(in.data(), in.size(), out.data(), out.size()));
  return out;
}

TEST(OrsaFrameDataTest, ParsesWireRecords) {
  struct Case {
    Bytes payload;
    Fields want;
  };
  const Case cases[] = {
      // Little-endian, sign-extended; escaped on the wire.
      {escape(
           wordsLE({25, 1, 0x01020304, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 704, 0xFFFFFFFE, 1216})),
       {25, 1, 0x01020304, -1, INT32_MIN, INT32_MAX, 704, -2, 1216}},
      // Words after the ninth are ignored.
      {escape(wordsLE({30, 0, 0, 0, 42, 1, 2, 3, 4, 0xDEADBEEF, 6, 7})),
       {30, 0, 0, 0, 42, 1, 2, 3, 4}},
      // A record ending in two zero bytes may carry a trailing 0x03 that simply disappears.
      {[] {
         Bytes b = wordsLE({25, 0, 0, 0, 7, 10, 20, 30, 0x00000100});
         b.push_back(0x03);
         return b;
       }(),
       {25, 0, 0, 0, 7, 10, 20, 30, 0x100}},
  };
  for (const auto& c : cases) {
    OrsaFrameData f;
    ASSERT_EQ(f.updateSEI(c.payload), Status::Ok) << testing::PrintToString(c.payload);
    EXPECT_EQ(fieldsOf(f), c.want);
  }
}

TEST(OrsaFrameDataTest, UnescapesEmulationPreventionBytes) {
  const std::pair<Bytes, Bytes> cases[] = {
      {{0, 0, 3, 1}, {0, 0, 1}},
      {{0, 0, 3, 3}, {0, 0, 3}},                 // the byte after a removed 0x03 is taken as it is
      {{0, 0, 0, 3, 2}, {0, 0, 0, 2}},           // longer zero runs count too
      {{0, 3, 0}, {0, 3, 0}},                    // one zero is not enough
      {{0, 1, 0, 3}, {0, 1, 0, 3}},              // nor a run broken by another byte
      {{0, 0, 3, 0, 0, 3, 0}, {0, 0, 0, 0, 0}},  // the zero after a removed 0x03 starts a run
      {{0, 0, 3, 0, 3, 1}, {0, 0, 0, 3, 1}},
      {{0, 0, 3, 3, 0, 3}, {0, 0, 3, 0, 3}},  // a kept 0x03 ends the run
      {{5, 0, 0, 3}, {5, 0, 0}},              // a trailing 0x03 vanishes
      {{3}, {3}},
      {{}, {}},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(unescaped(in), want) << testing::PrintToString(in);

  // Counts past its capacity without writing there.
  const Bytes in = {1, 2, 0, 0, 3, 0, 5, 6, 7};
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(OrsaFrameData::unescape(in.data(), in.size(), out, 3), 8u);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 0xEE);
}

TEST(OrsaFrameDataTest, EscapedRecordsRoundTrip) {
  // Records dense in zeros and small values put escapes at the start, the end, back to back and
  // across word boundaries.
  std::mt19937 rng(1215);
  for (int round = 0; round < 2000; ++round) {
    Bytes raw(36);
    for (auto& b : raw) {
      const uint32_t r = rng() % 8;
      b = r < 4 ? 0 : (r < 7 ? static_cast<uint8_t>(r - 4) : static_cast<uint8_t>(rng()));
    }
    Fields want{};
    for (size_t i = 0; i < 9; ++i) {
      uint32_t u = 0;
      for (size_t k = 0; k < 4; ++k) u |= static_cast<uint32_t>(raw[i * 4 + k]) << (8 * k);
      want[i] = static_cast<int32_t>(u);
    }
    OrsaFrameData f;
    ASSERT_EQ(f.updateSEI(escape(raw)), Status::Ok) << round;
    ASSERT_EQ(fieldsOf(f), want) << round;
  }
}

TEST(OrsaFrameDataTest, RefusedPayloadsLeaveTheRecordUnchanged) {
  OrsaFrameData f;
  ASSERT_EQ(f.updateSEI(escape(wordsLE({25, 1, 3, 9, 5, 100, 200, 612, 712}))), Status::Ok);
  const Fields before = fieldsOf(f);

  EXPECT_EQ(f.updateSEI(nullptr, 0), Status::Empty);
  EXPECT_EQ(f.updateSEI(static_cast<const Bytes*>(nullptr)), Status::Empty);
  EXPECT_EQ(f.updateSEI(Bytes{}), Status::Empty);
  Bytes shrunk = {0, 0, 3, 1};  // unescapes to 35 bytes
  shrunk.insert(shrunk.end(), 32, 0x22);
  Bytes short32 = {0, 0, 3, 1, 0, 0, 3, 1, 0, 0, 3, 1, 0, 0, 3, 1};  // 36 on the wire, 32 after
  short32.insert(short32.end(), 20, 0x22);
  std::vector<Bytes> notFit = {shrunk, short32, Bytes(37, 0x41), Bytes(39, 0x41)};
  for (size_t n = 1; n < 36; ++n) notFit.emplace_back(n, 0x41);
  for (const auto& p : notFit) EXPECT_EQ(f.updateSEI(p), Status::SizeNotFit) << p.size();
  EXPECT_EQ(fieldsOf(f), before);

  EXPECT_STREQ(OrsaFrameData::seiStatusText(Status::Empty), "updateSEI failed, data empty!");
  EXPECT_STREQ(OrsaFrameData::seiStatusText(Status::SizeNotFit),
               "updateSEI failed, data size not fit!");
}

TEST(OrsaFrameDataTest, RoiCopyIsCompletePooledAndStrideAware) {
  BufferPool& pool = BufferPool::sharedInstance();
  pool.clear();
  const int32_t w = 3, h = 4, stride = 20;  // 12 bytes of pixels, 8 of padding per row
  Bytes plane(static_cast<size_t>(stride) * h, 0xEE);
  Bytes packed;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w * 4; ++x) {
      plane[y * stride + x] = static_cast<uint8_t>(y * 16 + x);
      packed.push_back(static_cast<uint8_t>(y * 16 + x));
    }

  OrsaFrameData f;
  Bytes src = packed;
  ASSERT_EQ(f.updateROIFrame(src.data(), src.size(), w, h), OrsaFrameData::ROIStatus::Ok);
  std::fill(src.begin(), src.end(), 0);  // the caller may reuse its memory at once
  EXPECT_EQ(*f.roiData(), packed);
  EXPECT_EQ(f.roiWidth(), w);
  EXPECT_EQ(f.roiHeight(), h);

  // Once given back, the next frame of that size reuses the buffer.
  const OrsaByteBuffer* first = f.roiData().get();
  f.giveBackBuffers();
  // Rows are packed; the last row need not carry its padding.
  const uint64_t tight = static_cast<uint64_t>(stride) * (h - 1) + w * 4;
  ASSERT_EQ(f.updateROIFrame(plane.data(), tight, w, h, stride), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(f.roiData().get(), first);
  EXPECT_EQ(*f.roiData(), packed);

  // A packed stride (or 0) copies every byte, more than the pixels need included.
  ASSERT_EQ(f.updateROIFrame(plane.data(), plane.size(), 5, 4, 20), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(*f.roiData(), plane);
  ASSERT_EQ(f.updateROIFrame(plane.data(), plane.size(), 4, 4, 0), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(*f.roiData(), plane);
  // No pixels need no bytes.
  ASSERT_EQ(f.updateROIFrame(nullptr, 0, 0, 4, 16), OrsaFrameData::ROIStatus::Ok);
  EXPECT_TRUE(f.roiData()->empty());
}

TEST(OrsaFrameDataTest, RoiFramesThatDoNotFitAreRefused) {
  using R = OrsaFrameData::ROIStatus;
  const Bytes src(80, 0x3C);
  struct Case {
    const uint8_t* data;
    uint64_t length;
    int32_t w, h, stride;
    R want;
  };
  const Case cases[] = {
      {src.data(), 63, 4, 4, 0, R::ShortData},
      {nullptr, 64, 4, 4, 0, R::ShortData},
      {src.data(), 64, -4, 4, 0, R::BadSize},
      {src.data(), 64, 4, -1, 0, R::BadSize},
      {src.data(), 64, 4, 4, -16, R::BadSize},
      {src.data(), 80, 65536, 65536, 0, R::ShortData},  // must not wrap into "fits"
      {src.data(), 80, 4, 4, 15, R::BadSize},           // stride shorter than a row
      {src.data(), 63, 4, 4, 20, R::ShortData},         // 20 * 3 + 16 = 76 needed
      {nullptr, 76, 4, 4, 20, R::ShortData},
  };
  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(src.data(), 64, 4, 4), R::Ok);
  const OrsaBuffer kept = f.roiData();
  for (const auto& c : cases) {
    EXPECT_EQ(f.updateROIFrame(c.data, c.length, c.w, c.h, c.stride), c.want)
        << c.length << " " << c.w << "x" << c.h << " stride " << c.stride;
  }
  EXPECT_EQ(f.roiData(), kept);
  EXPECT_EQ(f.roiWidth(), 4);
  EXPECT_EQ(f.roiHeight(), 4);
}

// A record given back twice (a stale copy of the hand-back) must not return a buffer that the
// pool has meanwhile lent to someone else.
TEST(OrsaFrameDataTest, GivingBackARecordTwiceReturnsNothingTheSecondTime) {
  BufferPool& pool = BufferPool::sharedInstance();
  pool.clear();
  const Bytes head(16, 1);
  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(head.data(), head.size(), 2, 2), OrsaFrameData::ROIStatus::Ok);
  OrsaBuffer background = pool.poll(64);
  f.updateOriginFrame(background, 4, 4);
  EXPECT_EQ(f.originFrameData(), background);  // stored, not copied
  background.reset();

  f.giveBackBuffers();
  EXPECT_FALSE(f.roiData());
  EXPECT_FALSE(f.originFrameData());
  OrsaBuffer roiAgain = pool.poll(16);
  OrsaBuffer backgroundAgain = pool.poll(64);
  f.giveBackBuffers();
  EXPECT_EQ(pool.idleCount(16), 0u);
  EXPECT_EQ(pool.idleCount(64), 0u);
  EXPECT_NE(pool.poll(16), roiAgain);
  EXPECT_NE(pool.poll(64), backgroundAgain);
}

TEST(QMXVideoFrameParamTest, StridesOutsideThePlanesReadZeroAndAreNotWritten) {
  QMXVideoFrameParam p;
  for (int i = 0; i < 4; ++i) p.setStride(100 + i, i);
  for (int bad : {-1, 4, INT32_MIN, INT32_MAX}) {
    p.setStride(999, bad);
    EXPECT_EQ(p.strideAtIndex(bad), 0);
  }
  EXPECT_EQ(p.stridesArray(), (std::array<int32_t, 4>{100, 101, 102, 103}));
}

}  // namespace
