#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace orsa::tool {

// Encodes `frames` pictures as H.264 (yuv420p, BT.601 limited range) in an MP4 file. paint
// fills packed RGBA rows for frame i; progress (may be empty) is told after each frame.
bool writeSampleH264(const std::string& path, int width, int height, int fps, int frames,
                     const std::function<void(int, uint8_t*)>& paint,
                     const std::function<void(int)>& progress, std::string* error);

// Writes an 8-bit RGBA PNG whose four channels all carry the mask value, so a mask read from
// either the colour or the alpha channel gives the same weights.
bool writeSampleMaskPng(const std::string& path, int width, int height,
                        const std::vector<uint8_t>& mask, std::string* error);

}  // namespace orsa::tool
