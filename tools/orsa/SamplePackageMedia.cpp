#include "SamplePackageMedia.h"

#include <png.h>

#include <cstdio>

#include "platform/VideoWriter.h"

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
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (mask.size() != static_cast<size_t>(width) * height) return fail("mask size mismatch");
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) return fail("cannot create " + path);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 4);
  bool ok = png && info;
  if (ok && setjmp(png_jmpbuf(png))) ok = false;
  if (ok) {
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint8_t m = mask[static_cast<size_t>(y) * width + x];
        row[x * 4 + 0] = row[x * 4 + 1] = row[x * 4 + 2] = row[x * 4 + 3] = m;
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
  }
  png_destroy_write_struct(&png, &info);
  if (std::fclose(fp) != 0) ok = false;
  return ok ? true : fail("cannot write " + path);
}

}  // namespace orsa::tool
