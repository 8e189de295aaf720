#include "FramePattern.h"

#include <cstdlib>
#include <cstring>

namespace orsa::tool {
namespace {

constexpr int kDataBits = 16;
constexpr int kBits = kDataBits + 4;
// Luma of the two block colours (video range), and the least difference a pair must show.
constexpr uint8_t kBlack = 16, kWhite = 235;
constexpr int kMinContrast = 80;

uint32_t checkBits(uint32_t v) {
  return (v ^ (v >> 4) ^ (v >> 8) ^ (v >> 12) ^ 0x5) & 0xF;
}

uint32_t word(uint32_t index) {
  const uint32_t data = index & 0xFFFF;
  return data | (checkBits(data) << kDataBits);
}

// Cell c (0 .. 2 * kBits - 1), row-major in the pattern.
void cellOrigin(int c, int32_t& x, int32_t& y) {
  x = (c % FramePattern::kColumns) * FramePattern::kCell;
  y = (c / FramePattern::kColumns) * FramePattern::kCell;
}

bool cellIsWhite(uint32_t w, int c) {
  const bool bit = (w >> (c / 2)) & 1;
  return (c % 2 == 0) == bit;
}

}  // namespace

void FramePattern::draw(uint32_t index, uint8_t* luma, size_t lumaStride, uint8_t* u, uint8_t* v,
                        size_t chromaStride) {
  const uint32_t w = word(index);
  for (int c = 0; c < 2 * kBits; ++c) {
    int32_t x = 0, y = 0;
    cellOrigin(c, x, y);
    const uint8_t value = cellIsWhite(w, c) ? kWhite : kBlack;
    for (int32_t r = 0; r < kCell; ++r)
      std::memset(luma + lumaStride * static_cast<size_t>(y + r) + x, value, kCell);
    if (!u || !v) continue;
    for (int32_t r = 0; r < kCell / 2; ++r) {
      const size_t at = chromaStride * static_cast<size_t>(y / 2 + r) + static_cast<size_t>(x / 2);
      std::memset(u + at, 128, kCell / 2);
      std::memset(v + at, 128, kCell / 2);
    }
  }
}

std::optional<uint32_t> FramePattern::read(const uint8_t* bgra, size_t stride, int32_t width,
                                           int32_t height) {
  if (!bgra || !fits(width, height) || stride < static_cast<size_t>(width) * 4) return std::nullopt;
  // The mean green of each cell's middle, away from edges the encoder smears.
  int level[2 * kBits];
  for (int c = 0; c < 2 * kBits; ++c) {
    int32_t x = 0, y = 0;
    cellOrigin(c, x, y);
    int sum = 0;
    for (int32_t r = 2; r < kCell - 2; ++r)
      for (int32_t q = 2; q < kCell - 2; ++q)
        sum += bgra[stride * static_cast<size_t>(y + r) + 4 * static_cast<size_t>(x + q) + 1];
    level[c] = sum / ((kCell - 4) * (kCell - 4));
  }
  uint32_t w = 0;
  for (int b = 0; b < kBits; ++b) {
    const int diff = level[2 * b] - level[2 * b + 1];
    if (std::abs(diff) < kMinContrast) return std::nullopt;
    if (diff > 0) w |= 1u << b;
  }
  const uint32_t data = w & 0xFFFF;
  if ((w >> kDataBits) != checkBits(data)) return std::nullopt;
  return data;
}

}  // namespace orsa::tool
