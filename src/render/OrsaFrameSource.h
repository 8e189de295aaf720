#pragma once

#include <cstdint>
#include <memory>

class Image;  // utils/Image.h: a header-only value type, so render links nothing of utils

// Where the preview view's drawFrame looks background frames up (the frame store of a prepared
// package). Both readers may run on several worker threads at once.
class OrsaFrameSource {
 public:
  virtual ~OrsaFrameSource() = default;
  // Nothing when the frame cannot be produced.
  virtual std::shared_ptr<Image> readOriginFrame(int32_t frameNumber) const = 0;
  virtual std::shared_ptr<Image> readInterpolationWithStart(int32_t start, int32_t end,
                                                            int32_t index) const = 0;
};
