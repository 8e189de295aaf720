#pragma once

// Fixtures shared by the media reader, extraction and resource package tests: pictures,
// videos made with the platform's video writer, JPEGs made with TurboJPEG, and packages
// zipped with minizip's writer.

#include <openssl/evp.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
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

// FFmpeg's frame threads hand pictures over through reference counts whose atomics live in
// the uninstrumented FFmpeg libraries, so ThreadSanitizer sees the frees as races. Our own
// code takes its locks outside those libraries and stays fully checked. Use once per program.
#if defined(__SANITIZE_THREAD__)
#define ORSA_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORSA_TEST_TSAN 1
#endif
#endif
#ifdef ORSA_TEST_TSAN
#define ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()                               \
  extern "C" const char* __tsan_default_suppressions() {                  \
    return "race:libavutil.so\nrace:libavcodec.so\nrace:libswscale.so\n"; \
  }
#else
#define ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()
#endif

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
      p[0] = square ? 250 : static_cast<uint8_t>((x * 255) / (w > 1 ? w - 1 : 1));
      p[1] = square ? 240 : static_cast<uint8_t>((y * 255) / (h > 1 ? h - 1 : 1));
      p[2] = square ? 30 : static_cast<uint8_t>((seed * 53) & 0xff);
      p[3] = 255;
    }
  return px;
}

inline platform::VideoWriterSpec videoSpec(int w, int h,
                                           platform::VideoCodec c = platform::VideoCodec::MPEG4) {
  platform::VideoWriterSpec s;
  s.width = w;
  s.height = h;
  s.codec = c;
  s.yuv444 = c == platform::VideoCodec::MJPEG;
  s.crf = 16;
  s.keyFrameInterval = 12;
  s.threads = 1;
  return s;
}

// Writes frames patternRGBA(w, h, i) as a video; the container follows the extension.
inline std::string makeVideo(const std::filesystem::path& out, int frames,
                             const platform::VideoWriterSpec& s) {
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
  if (!reader || !reader->addOutput(platform::kMediaPixelFormatBGRA) || !reader->startReading())
    return frames;
  while (reader->status() == platform::MediaReader::Status::Reading)
    if (auto f = reader->copyNextSampleBuffer()) frames.push_back(std::move(f));
  return frames;
}

// PSNR over the colour channels of a decoded frame against 32-bit pixels of the same size,
// packed, in BGRA order or (rgba) RGBA order; 0 when the frame has no pixels.
inline double psnr(platform::MediaFrame& frame, const uint8_t* other, bool rgba = false) {
  const uint8_t* base = frame.lockBaseAddress();
  if (!base) return 0;
  const int w = frame.width(), h = frame.height();
  double se = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        double d = double(base[y * frame.bytesPerRow() + x * 4 + c]) -
                   other[(static_cast<size_t>(y) * w + x) * 4 + (rgba ? 2 - c : c)];
        se += d * d;
      }
  double mse = se / (3.0 * w * h);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Start offsets of the pictures of an MJPEG video (their SOI markers).
inline std::vector<size_t> jpegStarts(const std::string& bytes) {
  std::vector<size_t> at;
  for (size_t p = bytes.find("\xFF\xD8\xFF"); p != std::string::npos;
       p = bytes.find("\xFF\xD8\xFF", p + 3))
    at.push_back(p);
  return at;
}

// Overwrites picture k (not the last) of an MJPEG video with `picture`, padded with zeros to
// the sample's length so the container's tables stay valid. An empty picture leaves only
// zeros, which the decoder rejects.
inline std::string replacePicture(const std::string& video, size_t k, const std::string& picture) {
  auto at = jpegStarts(video);
  if (k + 1 >= at.size() || picture.size() > at[k + 1] - at[k])
    throw std::runtime_error("no room for the picture");
  std::string out = video;
  std::fill(out.begin() + at[k], out.begin() + at[k + 1], '\0');
  out.replace(at[k], picture.size(), picture);
  return out;
}

inline std::string encodeJpeg(const std::vector<uint8_t>& rgba, int w, int h, int quality = 95) {
  tjhandle tj = tjInitCompress();
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
  for (int i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, "%06d.jpg", i);
    if (!missing.count(i)) names.insert(buf);
  }
  return names;
}

}  // namespace orsa::test
