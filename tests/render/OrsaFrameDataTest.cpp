#include "render/OrsaFrameData.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

#include "orsa/OrsaSEIRecord.h"
#include "orsa/QMXVideoFrameParam.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Fields = std::array<int64_t, 9>;
using Status = OrsaFrameData::SEIStatus;

// A record as a sender puts it on the wire: its nine words, then any extra ones, escaped.
Bytes wire(const std::vector<uint32_t>& words) {
  OrsaSEIRecord r;
  int32_t* fields[] = {&r.fps,  &r.type, &r.startIndex, &r.endIndex, &r.frameIndex,
                       &r.left, &r.top,  &r.right,      &r.bottom};
  for (size_t i = 0; i < 9; ++i) *fields[i] = static_cast<int32_t>(words[i]);
  std::vector<int32_t> extra;
  for (size_t i = 9; i < words.size(); ++i) extra.push_back(static_cast<int32_t>(words[i]));
  return r.payload(extra);
}

Fields fieldsOf(const OrsaFrameData& f) {
  return {f.fps(),  f.type(), f.startIndex(), f.endIndex(), f.frameIndex(),
          f.left(), f.top(),  f.right(),      f.bottom()};
}

TEST(OrsaFrameDataTest, UnescapesEmulationPreventionBytes) {
  // clang-format off
  const std::pair<Bytes, Bytes> cases[] = {
      {{0, 0, 3, 1}, {0, 0, 1}},
      {{0, 0, 3, 3}, {0, 0, 3}},                 // the byte after a removed 0x03 is taken as it is
      {{0, 0, 0, 3, 2}, {0, 0, 0, 2}},           // longer zero runs count too
      {{0, 3, 0}, {0, 3, 0}},                    // one zero is not enough
      {{0, 1, 0, 3}, {0, 1, 0, 3}},              // nor a run broken by another byte
      {{0, 0, 3, 0, 0, 3, 0}, {0, 0, 0, 0, 0}},  // the zero after a removed 0x03 starts a run
      {{0, 0, 3, 3, 0, 3}, {0, 0, 3, 0, 3}},     // a kept 0x03 ends the run
      {{5, 0, 0, 3}, {5, 0, 0}},                 // a trailing 0x03 vanishes
      {{3}, {3}}, {{}, {}}};
  // clang-format on
  for (const auto& [in, want] : cases) {
    Bytes out(in.size() + 1);
    out.resize(OrsaFrameData::unescape(in.data(), in.size(), out.data(), out.size()));
    EXPECT_EQ(out, want) << testing::PrintToString(in);
  }

  // Counts past its capacity without writing there.
  const Bytes in = {1, 2, 0, 0, 3, 0, 5, 6, 7};
  uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(OrsaFrameData::unescape(in.data(), in.size(), out, 3), 8u);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 0xEE);
}

// Little-endian, sign-extended, escaped on the wire; words after the ninth are ignored. A refused
// payload leaves the record as it was.
TEST(OrsaFrameDataTest, ParsesWireRecordsAndRefusesBrokenOnes) {
  OrsaFrameData f;
  ASSERT_EQ(f.updateSEI(wire({30, 0, 0, 0, 42, 1, 2, 3, 0x100, 0xDEADBEEF, 6})), Status::Ok);
  EXPECT_EQ(fieldsOf(f), (Fields{30, 0, 0, 0, 42, 1, 2, 3, 0x100}));
  ASSERT_EQ(f.updateSEI(wire(
                {25, 1, 0x01020304, 0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 704, 0xFFFFFFFE, 1216})),
            Status::Ok);
  const Fields before = {25, 1, 0x01020304, -1, INT32_MIN, INT32_MAX, 704, -2, 1216};
  EXPECT_EQ(fieldsOf(f), before);

  EXPECT_EQ(f.updateSEI(nullptr, 0), Status::Empty);
  EXPECT_EQ(f.updateSEI(static_cast<const Bytes*>(nullptr)), Status::Empty);
  EXPECT_EQ(f.updateSEI(Bytes{}), Status::Empty);
  // 00 00 03 01 shrinks by one byte: 36 on the wire give 35, and 4 of them give 32.
  std::vector<Bytes> notFit = {Bytes(37, 0x41), Bytes(39, 0x41)};
  for (size_t n = 1; n < 36; ++n) notFit.emplace_back(n, 0x41);
  for (int escapes : {1, 4}) {
    Bytes b;
    for (int i = 0; i < escapes; ++i) b.insert(b.end(), {0, 0, 3, 1});
    notFit.push_back(b);
    notFit.back().resize(36, 0x22);
  }
  for (const auto& p : notFit) EXPECT_EQ(f.updateSEI(p), Status::SizeNotFit) << p.size();
  EXPECT_EQ(fieldsOf(f), before);
  EXPECT_STREQ(OrsaFrameData::seiStatusText(Status::Empty), "updateSEI failed, data empty!");
  EXPECT_STREQ(OrsaFrameData::seiStatusText(Status::SizeNotFit),
               "updateSEI failed, data size not fit!");
}

TEST(OrsaFrameDataTest, RoiCopyIsCompletePooledAndStrideAware) {
  const int32_t w = 3, h = 4, stride = 20;  // 12 bytes of pixels, 8 of padding per row
  Bytes plane(static_cast<size_t>(stride) * h, 0xEE), packed;
  for (int32_t i = 0; i < w * 4 * h; ++i) {
    packed.push_back(static_cast<uint8_t>(i));
    plane[i / (w * 4) * stride + i % (w * 4)] = static_cast<uint8_t>(i);
  }
  OrsaFrameData f;
  Bytes src = packed;
  ASSERT_EQ(f.updateROIFrame(src.data(), src.size(), w, h), OrsaFrameData::ROIStatus::Ok);
  std::fill(src.begin(), src.end(), 0);  // the caller may reuse its memory at once
  EXPECT_EQ(*f.roiData(), packed);
  EXPECT_EQ(f.roiWidth() * 10 + f.roiHeight(), w * 10 + h);
  // Once given back, the next frame of that size reuses the buffer. Rows are packed; the last
  // row need not carry its padding.
  const OrsaByteBuffer* first = f.roiData().get();
  f.giveBackBuffers();
  const uint64_t tight = static_cast<uint64_t>(stride) * (h - 1) + w * 4;
  ASSERT_EQ(f.updateROIFrame(plane.data(), tight, w, h, stride), OrsaFrameData::ROIStatus::Ok);
  EXPECT_EQ(f.roiData().get(), first);
  EXPECT_EQ(*f.roiData(), packed);
  ASSERT_EQ(f.updateROIFrame(nullptr, 0, 0, 4, 16), OrsaFrameData::ROIStatus::Ok);
  EXPECT_TRUE(f.roiData()->empty());
}

TEST(OrsaFrameDataTest, RoiFramesThatDoNotFitAreRefused) {
  using R = OrsaFrameData::ROIStatus;
  const Bytes src(80, 0x3C);
  const uint8_t* d = src.data();
  const std::tuple<const uint8_t*, uint64_t, int32_t, int32_t, int32_t, R> cases[] = {
      {d, 63, 4, 4, 0, R::ShortData},         {nullptr, 64, 4, 4, 0, R::ShortData},
      {d, 64, -4, 4, 0, R::BadSize},          {d, 64, 4, -1, 0, R::BadSize},
      {d, 64, 4, 4, -16, R::BadSize},         {d, 80, 4, 4, 15, R::BadSize},  // shorter than a row
      {d, 80, 65536, 65536, 0, R::ShortData},  // the product must not wrap into "fits"
      {d, 75, 4, 4, 20, R::ShortData},        {nullptr, 76, 4, 4, 20, R::ShortData},
  };
  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(d, 64, 4, 4), R::Ok);
  const OrsaBuffer kept = f.roiData();
  for (const auto& [data, length, w, h, stride, want] : cases) {
    EXPECT_EQ(f.updateROIFrame(data, length, w, h, stride), want)
        << length << " " << w << "x" << h << " stride " << stride;
  }
  EXPECT_EQ(f.roiData(), kept);
  EXPECT_EQ(f.roiWidth() * 10 + f.roiHeight(), 44);
}

// A record given back twice (a stale copy of the hand-back) must not return a buffer that the
// pool has meanwhile lent to someone else.
TEST(OrsaFrameDataTest, GivingBackARecordTwiceReturnsNothingTheSecondTime) {
  BufferPool& pool = BufferPool::sharedInstance();
  pool.clear();
  const Bytes head(16, 1);
  OrsaFrameData f;
  ASSERT_EQ(f.updateROIFrame(head.data(), 16, 2, 2), OrsaFrameData::ROIStatus::Ok);
  OrsaBuffer background = pool.poll(64);
  f.updateOriginFrame(background, 4, 4);
  EXPECT_EQ(f.originFrameData(), background);  // stored, not copied
  background.reset();
  f.giveBackBuffers();
  const OrsaBuffer lent[] = {pool.poll(16), pool.poll(64)};
  f.giveBackBuffers();
  EXPECT_EQ(pool.idleBytes(), 0u);
  EXPECT_NE(pool.poll(16), lent[0]);
  EXPECT_NE(pool.poll(64), lent[1]);
}

TEST(QMXVideoFrameParamTest, StridesOutsideThePlanesReadZeroAndAreNotWritten) {
  QMXVideoFrameParam p;
  for (int i = -1; i <= 4; ++i) p.setStride(100 + i, i);
  for (int bad : {-1, 4, INT32_MIN, INT32_MAX}) EXPECT_EQ(p.strideAtIndex(bad), 0);
  EXPECT_EQ(p.stridesArray(), (std::array<int32_t, 4>{100, 101, 102, 103}));
}

}  // namespace
