// The bytes of `orsa stream`: our SEI message survives H.264 escaping and is found again,
// escapes and all, in an access unit; the frame pattern reads back what was drawn and refuses a
// damaged corner.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FramePattern.h"
#include "SeiNal.h"
#include "orsa/OrsaSEIRecord.h"

using namespace orsa::tool;

namespace {

std::vector<uint8_t> words(const std::vector<uint32_t>& values) {
  std::vector<uint8_t> raw;
  for (uint32_t v : values)
    for (int shift = 0; shift < 32; shift += 8) raw.push_back(static_cast<uint8_t>(v >> shift));
  return raw;
}

// SPS, PPS, then an IDR slice, as an encoder hands them out.
const std::vector<uint8_t> kUnit = {0, 0, 0, 1,    0x67, 0x42, 0xC0, 0x1E,
                                    0, 0, 1, 0x68, 0xCE, 0x3C, 0x80, 0,
                                    0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x21};

// Occurrences of 00 00 0x (x <= 3) in a NAL unit's bytes that H.264 forbids after escaping.
bool escapedProperly(std::span<const uint8_t> nal) {
  for (size_t i = 0; i + 2 < nal.size(); ++i)
    if (nal[i] == 0 && nal[i + 1] == 0 && nal[i + 2] <= 2) return false;
  return true;
}

TEST(StreamBytes, RecordsThatNeedEscapingComeBackExactlyAndStillEscaped) {
  const std::vector<std::vector<uint32_t>> rows = {
      {25, 0, 0, 0, 7, 10, 20, 106, 140, 0x1234, 0},  // runs of zero bytes
      {0x00000003, 0x00000001, 0x00000002, 0, 0x00030000, 0x03000000, 0, 0, 0x0300, 0, 0},
      {0xFFFFFFFF, 0x80000000, 0x7FFFFFFF, 1, 2, 3, 0x00000300, 0x00010000, 0, 3, 0},
      {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // all zeros, ending in zeros before the stop bit
  };
  for (const auto& row : rows) {
    const std::vector<uint8_t> raw = words(row);
    const std::vector<uint8_t> nal = sei::buildNal(raw);
    EXPECT_TRUE(escapedProperly(nal)) << testing::PrintToString(row);
    const std::vector<uint8_t> unit = sei::insertBeforeFirstSlice(kUnit, nal);
    // Inserted before the slice, after the parameter sets, and nothing else touched.
    std::vector<uint8_t> types;
    sei::forEachNal(unit, [&](std::span<const uint8_t> n) { types.push_back(n[0] & 0x1F); });
    EXPECT_EQ(types, (std::vector<uint8_t>{7, 8, 6, 5}));

    const sei::Found found = sei::find(unit);
    ASSERT_EQ(found.status, sei::Status::Found) << testing::PrintToString(row);
    // Handed over as it stands in the unit: escapes in, and the engine takes them out.
    EXPECT_EQ(OrsaSEIRecord::unescape(found.payload), raw);
    const auto record = OrsaSEIRecord::parse(found.payload);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(static_cast<uint32_t>(record->frameIndex), row[4]);
    EXPECT_EQ(static_cast<uint32_t>(record->bottom), row[8]);
    EXPECT_GE(found.payload.data(), unit.data());
    EXPECT_LE(found.payload.data() + found.payload.size(), unit.data() + unit.size());
  }
}

TEST(StreamBytes, MissingForeignAndTruncatedMessagesAreTold) {
  const std::vector<uint8_t> raw = words({25, 0, 0, 0, 7, 10, 20, 106, 140, 1, 0});
  const std::vector<uint8_t> ours = sei::buildNal(raw);
  // Another sender's user data (16-byte UUID and text), then a message of another type.
  std::vector<uint8_t> foreign = {0x06, 0x05, 0x14};
  for (int i = 0; i < 16; ++i) foreign.push_back(static_cast<uint8_t>(0xA0 + i));
  foreign.insert(foreign.end(), {'x', '2', '6', '4'});
  foreign.insert(foreign.end(), {0x01, 0x01, 0x55, 0x80});
  std::vector<uint8_t> bothInOne = foreign;
  bothInOne.pop_back();  // its stop bit: our message follows in the same unit
  bothInOne.insert(bothInOne.end(), ours.begin() + 1, ours.end());
  // A record of 35 bytes (size field says so) is not a whole number of words.
  std::vector<uint8_t> shortRaw(raw.begin(), raw.begin() + 35);

  struct Row {
    std::string name;
    std::vector<std::vector<uint8_t>> nals;
    sei::Status status;
  };
  std::vector<Row> rows = {
      {"no SEI", {}, sei::Status::Missing},
      {"another UUID", {foreign}, sei::Status::OtherUuid},
      {"another UUID, then ours", {foreign, ours}, sei::Status::Found},
      {"ours after another message in one unit", {bothInOne}, sei::Status::Found},
      {"record not whole words", {sei::buildNal(shortRaw)}, sei::Status::Truncated},
      {"record too short", {sei::buildNal(words({25, 0, 0}))}, sei::Status::Truncated},
  };
  // Ours cut at every length: never found with a short payload, never read past the unit.
  for (size_t cut = 1; cut < ours.size() - 1; cut += 3)
    rows.push_back({"cut at " + std::to_string(cut),
                    {std::vector<uint8_t>(ours.begin(), ours.begin() + static_cast<long>(cut))},
                    cut == 1 ? sei::Status::Missing : sei::Status::Truncated});
  for (const auto& row : rows) {
    std::vector<uint8_t> unit = kUnit;
    for (const auto& nal : row.nals) unit = sei::insertBeforeFirstSlice(unit, nal);
    const sei::Found found = sei::find(unit);
    EXPECT_EQ(found.status, row.status) << row.name;
    if (row.status == sei::Status::Found) {
      EXPECT_EQ(OrsaSEIRecord::unescape(found.payload), raw);
    }
  }
}

TEST(StreamBytes, TheFramePatternReadsBackAndRefusesADamagedCorner) {
  constexpr int32_t w = 96, h = 64;
  for (uint32_t index : {0u, 1u, 7u, 0x5A5Au, 0xFFFFu}) {
    std::vector<uint8_t> luma(static_cast<size_t>(w) * h, 128);
    FramePattern::draw(index, luma.data(), w);
    // What a decoder's conversion makes of it: grey levels in all three colours, padded rows.
    const size_t stride = w * 4 + 64;
    std::vector<uint8_t> bgra(stride * h, 0);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c) bgra[stride * y + 4 * x + c] = luma[w * y + x];
    EXPECT_EQ(FramePattern::read(bgra.data(), stride, w, h), std::optional<uint32_t>(index));

    // One block of a pair repainted: the pair no longer says anything.
    auto flat = bgra;
    for (int32_t y = 0; y < FramePattern::kCell; ++y)
      for (int32_t x = 0; x < FramePattern::kCell; ++x)
        for (int c = 0; c < 3; ++c)
          flat[stride * y + 4 * x + c] = flat[stride * y + 4 * 8 + c + 4 * x];
    EXPECT_EQ(FramePattern::read(flat.data(), stride, w, h), std::nullopt) << index;
    // A whole pair swapped: another bit, caught by the check bits.
    auto swapped = bgra;
    for (int32_t y = 0; y < FramePattern::kCell; ++y)
      for (int32_t x = 0; x < FramePattern::kCell; ++x)
        for (int c = 0; c < 3; ++c)
          std::swap(swapped[stride * y + 4 * x + c], swapped[stride * y + 4 * (x + 8) + c]);
    EXPECT_EQ(FramePattern::read(swapped.data(), stride, w, h), std::nullopt) << index;
  }
  std::vector<uint8_t> small(4 * 32 * 32, 255);
  EXPECT_EQ(FramePattern::read(small.data(), 4 * 32, 32, 32), std::nullopt);
}

}  // namespace
