#include "SimulatedSender.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Command.h"
#include "utils/ResourceManager.h"

namespace orsa::tool {
namespace {

constexpr double kPi = 3.14159265358979323846;
// RTC decoders hand out rows aligned for their vector units.
constexpr size_t kRowAlignment = 64;
// Bounds of a manifest that a sender can be made from.
constexpr size_t kMaxManifestBytes = size_t{64} << 20;
constexpr int64_t kMaxPictureSide = 16384;
constexpr int64_t kMaxHeadSide = 4096;
constexpr size_t kMaxFrames = 100000;
constexpr uint64_t kMaxHeadBytes = uint64_t{2} << 30;

}  // namespace

std::optional<SimulatedSender::Manifest> SimulatedSender::parseManifest(std::string_view text,
                                                                        std::string& error) {
  const auto bad = [&](const std::string& why) {
    error = "manifest.json: " + why;
    return std::nullopt;
  };
  if (text.size() > kMaxManifestBytes) return bad("too large to be a package manifest");
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded()) return bad("not valid JSON");
  if (!doc.is_object()) return bad("not a JSON object");
  // A whole number in [lo, hi] at `key` of `obj`; `name` is how the message calls it.
  const auto integer = [&](const nlohmann::json& obj, const char* key, const std::string& name,
                           int64_t lo, int64_t hi, std::optional<int64_t> fallback,
                           int64_t& out) -> bool {
    auto it = obj.find(key);
    if (it == obj.end()) {
      if (!fallback) {
        bad(name + " is missing");
        return false;
      }
      out = *fallback;
      return true;
    }
    if (!it->is_number_integer()) {
      bad(name + " is not a whole number");
      return false;
    }
    const bool tooBig = it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(hi);
    out = tooBig ? hi : it->get<int64_t>();
    if (tooBig || out < lo || out > hi) {
      bad(name + " is out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
      return false;
    }
    return true;
  };

  Manifest m;
  int64_t fps = 0, width = 0, height = 0;
  // The picture size is optional: the origin frames themselves are checked once decoded.
  if (!integer(doc, "fps", "fps", 1, 120, 25, fps) ||
      !integer(doc, "width", "width", 0, kMaxPictureSide, 0, width) ||
      !integer(doc, "height", "height", 0, kMaxPictureSide, 0, height))
    return std::nullopt;
  m.fps = static_cast<int32_t>(fps);
  auto frames = doc.find("frames");
  if (frames == doc.end()) return bad("frames is missing");
  if (!frames->is_array() || frames->empty())
    return bad("frames is not a non-empty array of head rectangles");
  if (frames->size() > kMaxFrames)
    return bad("frames has " + std::to_string(frames->size()) + " entries, more than " +
               std::to_string(kMaxFrames));
  for (size_t i = 0; i < frames->size(); ++i) {
    const nlohmann::json& f = (*frames)[i];
    const std::string at = "frames[" + std::to_string(i) + "]";
    if (!f.is_object()) return bad(at + " is not an object");
    int64_t x = 0, y = 0, w = 0, h = 0;
    if (!integer(f, "x", at + ".x", 0, kMaxPictureSide, std::nullopt, x) ||
        !integer(f, "y", at + ".y", 0, kMaxPictureSide, std::nullopt, y) ||
        !integer(f, "width", at + ".width", 1, kMaxHeadSide, std::nullopt, w) ||
        !integer(f, "height", at + ".height", 1, kMaxHeadSide, std::nullopt, h))
      return std::nullopt;
    if ((width > 0 && x + w > width) || (height > 0 && y + h > height))
      return bad(at + " (" + std::to_string(w) + "x" + std::to_string(h) + " at " +
                 std::to_string(x) + "," + std::to_string(y) + ") lies outside the " +
                 std::to_string(width) + "x" + std::to_string(height) + " picture");
    if (!m.frames.empty() && (w != m.frames[0].width || h != m.frames[0].height))
      return bad(at + " is " + std::to_string(w) + "x" + std::to_string(h) + ", not " +
                 std::to_string(m.frames[0].width) + "x" + std::to_string(m.frames[0].height) +
                 " as the first head");
    m.frames.push_back(HeadRect{static_cast<int32_t>(x), static_cast<int32_t>(y),
                                static_cast<int32_t>(w), static_cast<int32_t>(h)});
  }
  const uint64_t headBytes = static_cast<uint64_t>(m.frames[0].width) *
                             static_cast<uint64_t>(m.frames[0].height) * 4 * m.frames.size();
  if (headBytes > kMaxHeadBytes)
    return bad("the heads of " + std::to_string(m.frames.size()) + " frames would take " +
               std::to_string(headBytes >> 20) + " MB");
  return m;
}

std::unique_ptr<SimulatedSender> SimulatedSender::create(const ResourceManager& resources,
                                                         std::shared_ptr<IOrsaMirelo> engine,
                                                         std::string streamId, int32_t fps,
                                                         std::string& error) {
  const std::string manifestPath = resources.resourceDir() + "/manifest.json";
  auto text = readWholeFile(manifestPath);
  if (!text) {
    error = "the package has no manifest.json (make it with 'orsa sample-package')";
    return nullptr;
  }
  std::optional<Manifest> manifest = parseManifest(*text, error);
  if (!manifest) return nullptr;
  std::unique_ptr<SimulatedSender> s(new SimulatedSender());
  s->engine_ = std::move(engine);
  s->streamId_ = std::move(streamId);
  s->fps_ = fps > 0 ? fps : manifest->fps;
  s->rects_ = std::move(manifest->frames);
  s->headWidth_ = s->rects_[0].width;
  s->headHeight_ = s->rects_[0].height;
  const size_t packedRow = static_cast<size_t>(s->headWidth_) * 4;
  for (size_t i = 0; i < s->rects_.size(); ++i) {
    const HeadRect& r = s->rects_[i];
    auto frame = resources.readOriginFrame(static_cast<int32_t>(i));
    if (!frame) {
      error = "origin frame " + std::to_string(i) + " is missing";
      return nullptr;
    }
    // Whatever the manifest said, nothing is read outside the decoded picture.
    if (r.x < 0 || r.y < 0 || int64_t{r.x} + r.width > frame->width() ||
        int64_t{r.y} + r.height > frame->height()) {
      error = "manifest.json: frames[" + std::to_string(i) + "] lies outside origin frame " +
              std::to_string(i) + " (" + std::to_string(frame->width()) + "x" +
              std::to_string(frame->height()) + ")";
      return nullptr;
    }
    std::vector<uint8_t> head(packedRow * static_cast<size_t>(r.height));
    for (int32_t y = 0; y < r.height; ++y) {
      const uint8_t* src = frame->pixel(r.x, r.y + y);
      uint8_t* dst = head.data() + packedRow * static_cast<size_t>(y);
      // RGBA frame store, BGRA decoder output.
      for (int32_t x = 0; x < r.width; ++x) {
        dst[4 * x + 0] = src[4 * x + 2];
        dst[4 * x + 1] = src[4 * x + 1];
        dst[4 * x + 2] = src[4 * x + 0];
        dst[4 * x + 3] = 255;
      }
    }
    s->heads_.push_back(std::move(head));
  }
  s->stride_ = (packedRow + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
  if (s->stride_ == packedRow) s->stride_ += kRowAlignment;
  s->outgoing_.assign(s->stride_ * static_cast<size_t>(s->headHeight_), 0);
  return s;
}

SimulatedSender::~SimulatedSender() {
  stop();
}

void SimulatedSender::start() {
  if (running_.exchange(true)) return;
  thread_ = std::thread([this] { sendLoop(); });
}

void SimulatedSender::stop() {
  running_.store(false);
  if (thread_.joinable()) thread_.join();
}

int32_t SimulatedSender::originIndexFor(uint64_t k, int32_t n) {
  if (n <= 1) return 0;
  const uint64_t period = 2 * static_cast<uint64_t>(n) - 2;
  const auto i = static_cast<int32_t>(k % period);
  return i < n ? i : static_cast<int32_t>(period) - i;
}

OrsaSEIRecord SimulatedSender::seiRecord(int32_t fps, int32_t frameIndex, const HeadRect& r) {
  OrsaSEIRecord record;
  record.fps = fps;
  record.frameIndex = frameIndex;
  record.left = r.x;
  record.top = r.y;
  record.right = r.x + r.width;
  record.bottom = r.y + r.height;
  return record;
}

void SimulatedSender::drawMouth(uint8_t* bgra, int32_t width, int32_t height, size_t stride,
                                uint64_t k, int32_t fps) {
  // About three syllables a second.
  const double t = static_cast<double>(k) / std::max(1, fps);
  const double open = 0.5 - 0.5 * std::cos(2 * kPi * 3.0 * t);
  const double cx = 0.5 * width, cy = 0.73 * height;
  const double rx = 0.15 * width, ry = (0.025 + 0.09 * open) * height;
  const double innerRx = rx * 0.78, innerRy = ry * (0.15 + 0.6 * open);
  const int32_t x0 = std::max(0, static_cast<int32_t>(cx - rx)),
                x1 = std::min(width, static_cast<int32_t>(cx + rx) + 1);
  const int32_t y0 = std::max(0, static_cast<int32_t>(cy - ry)),
                y1 = std::min(height, static_cast<int32_t>(cy + ry) + 1);
  for (int32_t y = y0; y < y1; ++y) {
    uint8_t* row = bgra + stride * static_cast<size_t>(y);
    for (int32_t x = x0; x < x1; ++x) {
      const double dx = (x + 0.5 - cx), dy = (y + 0.5 - cy);
      if ((dx * dx) / (rx * rx) + (dy * dy) / (ry * ry) > 1) continue;
      const bool inside = (dx * dx) / (innerRx * innerRx) + (dy * dy) / (innerRy * innerRy) <= 1;
      // Lips a strong rose, the open mouth nearly black; BGRA.
      const uint8_t c[3] = {static_cast<uint8_t>(inside ? 25 : 95),
                            static_cast<uint8_t>(inside ? 10 : 40),
                            static_cast<uint8_t>(inside ? 45 : 205)};
      std::memcpy(row + 4 * x, c, 3);
    }
  }
}

void SimulatedSender::sendOne(uint64_t k) {
  const int32_t n = static_cast<int32_t>(rects_.size());
  const int32_t index = originIndexFor(k, n);
  const auto& head = heads_[static_cast<size_t>(index)];
  const size_t packedRow = static_cast<size_t>(headWidth_) * 4;
  for (int32_t y = 0; y < headHeight_; ++y)
    std::memcpy(outgoing_.data() + stride_ * static_cast<size_t>(y),
                head.data() + packedRow * static_cast<size_t>(y), packedRow);
  drawMouth(outgoing_.data(), headWidth_, headHeight_, stride_, k, fps_);

  const auto sei = seiRecord(fps_, index, rects_[static_cast<size_t>(index)]).payload();
  engine_->onPlayerSyncRecvSEI(streamId_, sei);
  QMXVideoFrameParam param;
  param.setWidth(headWidth_);
  param.setHeight(headHeight_);
  param.setStride(static_cast<int32_t>(stride_), 0);
  const uint8_t* planes[1] = {outgoing_.data()};
  const uint32_t lengths[1] = {static_cast<uint32_t>(outgoing_.size())};
  engine_->onRemoteVideoFrameRawData(planes, lengths, param, streamId_);
  framesSent_.fetch_add(1);
}

void SimulatedSender::sendLoop() {
  using Clock = std::chrono::steady_clock;
  const auto begin = Clock::now();
  // Each frame's time comes from its number, so late frames do not push the later ones back.
  for (uint64_t k = 0; running_.load(); ++k) {
    std::this_thread::sleep_until(begin + std::chrono::microseconds(k * 1000000 / fps_));
    if (!running_.load()) break;
    sendOne(k);
  }
}

}  // namespace orsa::tool
