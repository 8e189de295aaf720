#pragma once

// Fixtures shared by the media reader, extraction and resource package tests: pictures,
// videos made with the platform's video writer, JPEGs made with TurboJPEG, and packages
// zipped with minizip's writer.

#include <openssl/evp.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/MediaReader.h"
#include "platform/VideoWriter.h"
#include "support/TestSupport.h"
#include "support/ZipWriter.h"

// FFmpeg's frame threads hand pictures over through reference counts whose atomics live in the
// uninstrumented FFmpeg libraries, so ThreadSanitizer takes the frees for races; llvmpipe does
// the same with its fences, which programs that also draw meet. Our own code stays fully
// checked. Outside ThreadSanitizer the function is never called. Once per program.
#define ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()                                                   \
  extern "C" const char* __tsan_default_suppressions() {                                      \
    return "race:libavutil.so\nrace:libavcodec.so\nrace:libswscale.so\nrace:swrast_dri.so\n"; \
  }

namespace orsa::test {

// A deterministic RGBA picture: smooth ramps that JPEG keeps faithfully, plus a blue level and
// a bright square that move with seed, so neighbouring video frames differ clearly.
inline std::vector<uint8_t> patternRGBA(int w, int h, int seed) {
  std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
  const int side = std::max(2, std::min(w, h) / 4);
  const int ox = (seed * 5) % std::max(1, w - side), oy = (seed * 3) % std::max(1, h - side);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
      bool square = x >= ox && x < ox + side && y >= oy && y < oy + side;
      p[0] = square ? 250 : static_cast<uint8_t>((x * 255) / std::max(1, w - 1));
      p[1] = square ? 240 : static_cast<uint8_t>((y * 255) / std::max(1, h - 1));
      p[2] = square ? 30 : static_cast<uint8_t>(seed * 53);
      p[3] = 255;
    }
  return px;
}

inline platform::VideoFormat videoFormat(int w, int h,
                                         platform::VideoCodec c = platform::VideoCodec::MPEG4) {
  return {.width = w,
          .height = h,
          .codec = c,
          .yuv444 = c == platform::VideoCodec::MJPEG,
          .keyFrameInterval = 12,
          .crf = 16,
          .threads = 1};
}

// Writes frames patternRGBA(w, h, i) as a video; the container follows the extension.
inline std::string makeVideo(const std::filesystem::path& out, int frames,
                             const platform::VideoFormat& s) {
  platform::VideoWriter w;
  bool ok = w.open(out.string(), s);
  for (int i = 0; ok && i < frames; ++i)
    ok = w.write(patternRGBA(s.width, s.height, i).data(), s.width * 4u,
                 platform::VideoPixelOrder::RGBA);
  if (!ok || !w.finish()) throw std::runtime_error("video writer: " + w.error());
  return out.string();
}

// Every frame of the first video track, in order; empty when the file cannot be read.
inline std::vector<std::unique_ptr<platform::MediaFrame>> decodeAll(const std::string& path) {
  std::vector<std::unique_ptr<platform::MediaFrame>> frames;
  auto reader = platform::MediaReader::openFirstVideoTrack(path);
  if (reader && reader->addOutput(platform::kMediaPixelFormatBGRA) && reader->startReading())
    while (reader->status() == platform::MediaReader::Status::Reading)
      if (auto f = reader->copyNextSampleBuffer()) frames.push_back(std::move(f));
  return frames;
}

// PSNR over the colour channels of a decoded frame against packed 32-bit pixels of its size,
// in BGRA order or (rgba) RGBA order; 0 when the frame has no pixels.
inline double psnr(platform::MediaFrame& frame, const uint8_t* other, bool rgba = false) {
  const uint8_t* base = frame.lockBaseAddress();
  const int w = frame.width(), h = frame.height();
  double se = 0;
  for (int i = 0; base && i < w * h * 3; ++i) {
    int x = i / 3 % w, y = i / 3 / w, c = i % 3;
    se += std::pow(
        base[y * frame.bytesPerRow() + x * 4 + c] - other[(y * w + x) * 4 + (rgba ? 2 - c : c)], 2);
  }
  return !base ? 0 : se == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * 3 * w * h / se);
}

// Overwrites picture k (not the last) of an MJPEG video with `picture`, padded with zeros to
// the sample's length so the container's tables stay valid. An empty picture leaves only
// zeros, which the decoder rejects.
inline std::string replacePicture(std::string video, size_t k, const std::string& picture) {
  std::vector<size_t> at;  // where the pictures start (their SOI markers)
  for (size_t p = 0; (p = video.find("\xFF\xD8\xFF", p)) != std::string::npos; p += 3)
    at.push_back(p);
  if (k + 1 >= at.size() || picture.size() > at[k + 1] - at[k])
    throw std::runtime_error("no room for the picture");
  std::fill(video.begin() + at[k], video.begin() + at[k + 1], '\0');
  return video.replace(at[k], picture.size(), picture);
}

inline std::string encodeJpeg(const std::vector<uint8_t>& rgba, int w, int h, int quality = 95) {
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  if (tjCompress2(tj, rgba.data(), w, 0, h, TJPF_RGBA, &out, &size, TJSAMP_444, quality,
                  TJFLAG_ACCURATEDCT) != 0)
    throw std::runtime_error("tjCompress2 failed");
  std::string bytes(reinterpret_cast<const char*>(out), size);
  tjFree(out);
  tjDestroy(tj);
  return bytes;
}

inline std::array<uint8_t, 32> sha256Of(const std::string& bytes) {
  std::array<uint8_t, 32> d{};
  EVP_Digest(bytes.data(), bytes.size(), d.data(), nullptr, EVP_sha256(), nullptr);
  return d;
}

// A resource package: entry name to content. Videos are stored, everything else deflated.
using PackageParts = std::map<std::string, std::string>;
inline void writePackage(const std::filesystem::path& zip, const PackageParts& parts) {
  ZipWriter w(zip);
  for (const auto& [name, data] : parts) w.file(name, data, !name.ends_with(".mp4"));
  if (!w.close()) throw std::runtime_error("zip writer failed");
}

inline std::set<std::string> jpegNames(const std::filesystem::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".jpg") names.insert(it->path().filename().string());
  return names;
}

// "000000.jpg" up to count - 1, leaving out the numbers in `missing`.
inline std::set<std::string> expectedNames(int count, std::set<int> missing = {}) {
  std::set<std::string> names;
  char buf[32];
  for (int i = 0; i < count; ++i)
    if (std::snprintf(buf, sizeof buf, "%06d.jpg", i) && !missing.count(i)) names.insert(buf);
  return names;
}

}  // namespace orsa::test
