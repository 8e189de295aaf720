#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "orsa/OrsaExport.h"

// The parameter record that accompanies every raw frame the host hands in
// (IOrsaMirelo::onRemoteVideoFrameRawData). The engine reads width, height and the stride of
// plane 0; rotation and format are carried for the host.
//
// The picture is one plane of 4-byte BGRA pixels, rows top first. Stride 0 of plane 0 means
// packed rows (width x 4 bytes); a larger stride, as decoders hand out for aligned rows, is
// read row by row, and the last row need not carry its padding. A stride shorter than a row is
// refused, and so is a plane with fewer bytes than the rows need.
class ORSA_EXPORT QMXVideoFrameParam {
 public:
  static constexpr int kPlaneCount = 4;

  QMXVideoFrameParam() = default;

  int32_t width() const { return width_; }
  void setWidth(int32_t v) { width_ = v; }

  int32_t height() const { return height_; }
  void setHeight(int32_t v) { height_ = v; }

  int32_t rotation() const { return rotation_; }
  void setRotation(int32_t v) { rotation_ = v; }

  int64_t format() const { return format_; }
  void setFormat(int64_t v) { format_ = v; }

  const std::array<int32_t, kPlaneCount>& stridesArray() const { return stridesArray_; }
  void setStridesArray(const std::array<int32_t, kPlaneCount>& v) { stridesArray_ = v; }

  // Row stride in bytes of plane 0-3; 0 for any other index, negative ones included.
  int32_t strideAtIndex(int index) const {
    return validIndex(index) ? stridesArray_[static_cast<size_t>(index)] : 0;
  }

  // Indexes outside 0-3 are ignored rather than written past the array.
  void setStride(int32_t stride, int index) {
    if (validIndex(index)) stridesArray_[static_cast<size_t>(index)] = stride;
  }

 private:
  static constexpr bool validIndex(int index) { return index >= 0 && index < kPlaneCount; }

  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t rotation_ = 0;
  int64_t format_ = 0;
  std::array<int32_t, kPlaneCount> stridesArray_{};
};
