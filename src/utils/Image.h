#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "render/BufferPool.h"

// One decoded picture: width × height pixels, RGBA, 8 bits per channel, rows top to bottom
// and packed (stride = 4 × width). The bytes normally come from the shared BufferPool; whoever
// draws the picture gives them back there.
class Image {
 public:
  Image(OrsaBuffer data, int32_t width, int32_t height)
      : data_(std::move(data)), width_(width), height_(height) {}

  int32_t width() const { return width_; }
  void setWidth(int32_t v) { width_ = v; }
  int32_t height() const { return height_; }
  void setHeight(int32_t v) { height_ = v; }
  const OrsaBuffer& data() const { return data_; }
  void setData(OrsaBuffer v) { data_ = std::move(v); }

  // Bytes a picture of this size holds.
  size_t byteCount() const {
    return static_cast<size_t>(width_) * static_cast<size_t>(height_) * 4;
  }
  const uint8_t* bytes() const { return data_ ? data_->data() : nullptr; }
  // The pixel at (x, y), RGBA; no bounds check.
  const uint8_t* pixel(int32_t x, int32_t y) const {
    return bytes() +
           (static_cast<size_t>(y) * static_cast<size_t>(width_) + static_cast<size_t>(x)) * 4;
  }

 private:
  OrsaBuffer data_;
  int32_t width_ = 0;
  int32_t height_ = 0;
};
