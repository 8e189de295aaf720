#include "SamplePackageMedia.h"

#include <cstring>

#include "platform/VideoWriter.h"
#include "render/gl/PngFile.h"

namespace orsa::tool {

bool writeSampleH264(const std::string& path, int width, int height, int fps, int frames,
                     const std::function<void(int, uint8_t*)>& paint,
                     const std::function<void(int)>& progress, std::string* error) {
  platform::VideoFormat format;
  format.width = width;
  format.height = height;
  format.fps = fps;
  platform::VideoWriter writer;
  bool ok = writer.open(path, format);
  std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
  for (int i = 0; ok && i < frames; ++i) {
    paint(i, rgba.data());
    ok = writer.write(rgba.data(), static_cast<size_t>(width) * 4, platform::VideoPixelOrder::RGBA);
    if (ok && progress) progress(i + 1);
  }
  if (ok) ok = writer.finish();
  if (!ok && error) *error = writer.error();
  return ok;
}

bool writeSampleMaskPng(const std::string& path, int width, int height,
                        const std::vector<uint8_t>& mask, std::string* error) {
  std::string why = "mask size mismatch";
  if (mask.size() == static_cast<size_t>(width) * height) {
    std::vector<uint8_t> rgba(mask.size() * 4);
    for (size_t i = 0; i < mask.size(); ++i) std::memset(&rgba[i * 4], mask[i], 4);
    if (gl::writePngRGBA(path, rgba.data(), width, height, width * 4, why)) return true;
    why = "cannot write " + path + ": " + why;
  }
  if (error) *error = why;
  return false;
}

}  // namespace orsa::tool
