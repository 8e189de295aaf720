#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orsa::gl {

// Reads any PNG as packed RGBA (4 x width bytes per row), colour values as stored: no gamma or
// sRGB conversion. False, with the reason in `error`, when the file cannot be read.
bool readPngRGBA(const std::string& path, std::vector<uint8_t>& pixels, int32_t& width,
                 int32_t& height, std::string& error);
bool writePngRGBA(const std::string& path, const uint8_t* rgba, int32_t width, int32_t height,
                  int32_t stride, std::string& error);

}  // namespace orsa::gl
