#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace orsa::tool {

// A frame index drawn into the top-left corner of a head picture as black and white blocks,
// so that a receiver can tell which record a decoded picture belongs to. Each bit is a pair of
// blocks (white-black for 1, black-white for 0) and four check bits follow the sixteen data
// bits, so a damaged corner reads as nothing rather than as another index.
class FramePattern {
 public:
  static constexpr int32_t kCell = 8;  // a macroblock's quarter: survives 4:2:0 and the encoder
  static constexpr int32_t kColumns = 8;
  static constexpr int32_t kRows = 5;  // (16 + 4) bits, two cells each
  static constexpr int32_t kWidth = kCell * kColumns;
  static constexpr int32_t kHeight = kCell * kRows;

  static bool fits(int32_t width, int32_t height) { return width >= kWidth && height >= kHeight; }
  // Draws the low 16 bits of `index` into an 8-bit luma plane (and grey into its 4:2:0 chroma
  // planes when given).
  static void draw(uint32_t index, uint8_t* luma, size_t lumaStride, uint8_t* u = nullptr,
                   uint8_t* v = nullptr, size_t chromaStride = 0);
  // The index in a BGRA picture; nothing when the corner holds no readable pattern.
  static std::optional<uint32_t> read(const uint8_t* bgra, size_t stride, int32_t width,
                                      int32_t height);
};

}  // namespace orsa::tool
