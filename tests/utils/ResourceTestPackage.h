#pragma once

// Fixtures for the resource package tests: JPEG pictures made with TurboJPEG, videos made
// with the ffmpeg program, and packages zipped with minizip's writer.

#include <openssl/evp.h>
#include <turbojpeg.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ZipWriter.h"

namespace orsa::test {

// A deterministic RGBA picture whose every pixel depends on (x, y, seed).
inline std::vector<uint8_t> patternRGBA(int w, int h, int seed) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
      // Smooth ramps survive JPEG well, so decoded pixels stay close to these values.
      p[0] = static_cast<uint8_t>((x * 255) / (w > 1 ? w - 1 : 1));
      p[1] = static_cast<uint8_t>((y * 255) / (h > 1 ? h - 1 : 1));
      p[2] = static_cast<uint8_t>((seed * 53) & 0xff);
      p[3] = 255;
    }
  return px;
}

inline std::string encodeJpeg(const std::vector<uint8_t>& rgba, int w, int h, int quality = 95) {
  tjhandle tj = tjInitCompress();
  if (!tj) throw std::runtime_error("tjInitCompress failed");
  unsigned char* out = nullptr;
  unsigned long size = 0;
  int rc = tjCompress2(tj, rgba.data(), w, 0, h, TJPF_RGBA, &out, &size, TJSAMP_444, quality,
                       TJFLAG_ACCURATEDCT);
  std::string bytes;
  if (rc == 0) bytes.assign(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  tjDestroy(tj);
  if (rc != 0) throw std::runtime_error("tjCompress2 failed");
  return bytes;
}

inline std::array<uint8_t, 32> sha256Of(const std::string& bytes) {
  std::array<uint8_t, 32> d{};
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), d.data(), &len, EVP_sha256(), nullptr);
  return d;
}

// A small MPEG-4 video of `frames` frames made by the ffmpeg program.
inline void makeVideo(const std::filesystem::path& out, int frames, int w, int h) {
  std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(w) +
                    "x" + std::to_string(h) + ":rate=25 -frames:v " + std::to_string(frames) +
                    " -c:v mpeg4 -q:v 5 -pix_fmt yuv420p '" + out.string() + "'";
  auto r = runCommand(cmd, 120);
  if (r.exitCode != 0 || !std::filesystem::exists(out))
    throw std::runtime_error("ffmpeg failed: " + r.err);
}

// The parts of a resource package; an empty string leaves the entry out.
struct PackageParts {
  std::string origin;
  std::string interpolations;
  std::string interpolationsJson;
  std::string border;
  std::map<std::string, std::string> extra;
};

inline void writePackage(const std::filesystem::path& zip, const PackageParts& parts) {
  ZipWriter w(zip);
  if (!parts.origin.empty()) w.file("origin.mp4", parts.origin, false);
  if (!parts.interpolations.empty()) w.file("interpolations.mp4", parts.interpolations, false);
  if (!parts.interpolationsJson.empty()) w.file("interpolations.json", parts.interpolationsJson);
  if (!parts.border.empty()) w.file("border.png", parts.border);
  for (const auto& [name, data] : parts.extra) w.file(name, data);
  if (!w.close()) throw std::runtime_error("zip writer failed");
}

inline size_t countJpegs(const std::filesystem::path& dir) {
  size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".jpg") ++n;
  return n;
}

}  // namespace orsa::test
