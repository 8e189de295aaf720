#include "render/gl/PngFile.h"

#include <png.h>

#include <cstring>

namespace orsa::gl {

bool readPngRGBA(const std::string& path, std::vector<uint8_t>& pixels, int32_t& width,
                 int32_t& height, std::string& error) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) {
    error = image.message;
    return false;
  }
  image.format = PNG_FORMAT_RGBA;
  // A picture larger than any texture is refused before its pixels are allocated.
  if (image.width < 1 || image.height < 1 || image.width > 16384 || image.height > 16384) {
    error = "image size out of range";
    png_image_free(&image);
    return false;
  }
  pixels.assign(PNG_IMAGE_SIZE(image), 0);
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    error = image.message;
    png_image_free(&image);
    return false;
  }
  width = static_cast<int32_t>(image.width);
  height = static_cast<int32_t>(image.height);
  return true;
}

bool writePngRGBA(const std::string& path, const uint8_t* rgba, int32_t width, int32_t height,
                  int32_t stride, std::string& error) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = PNG_FORMAT_RGBA;
  if (!png_image_write_to_file(&image, path.c_str(), 0, rgba, stride, nullptr)) {
    error = image.message;
    return false;
  }
  return true;
}

}  // namespace orsa::gl
