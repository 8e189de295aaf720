#include "DemoRecorder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/VideoWriter.h"
#include "render/gl/PngFile.h"

namespace orsa::tool {
namespace {

constexpr size_t kSheetColumns = 4;
constexpr size_t kSheetPictures = 12;
constexpr int32_t kThumbMaxWidth = 200;
constexpr int32_t kSheetGap = 6;
// Small copies kept while recording; halved (every other one) when reached.
constexpr size_t kThumbBudget = 4 * kSheetPictures;

}  // namespace

struct DemoRecorder::Encoder {
  orsa::platform::VideoWriter writer;
  bool open = false;
  int32_t width = 0, height = 0;
};

DemoRecorder::DemoRecorder(std::string videoPath, std::string sheetPath, int32_t fps, size_t slots)
    : videoPath_(std::move(videoPath)),
      sheetPath_(std::move(sheetPath)),
      fps_(std::max(1, fps)),
      slots_(slots),
      encoder_(std::make_unique<Encoder>()) {
  for (size_t i = 0; i < slots_.size(); ++i) free_.push_back(i);
  summary_.latencies.reserve(4096);
  thread_ = std::thread([this] { encodeLoop(); });
}

DemoRecorder::~DemoRecorder() {
  if (thread_.joinable()) finish();
}

void DemoRecorder::onPicture(const OrsaPicture& p) {
  if (!p.rgba || p.width <= 0 || p.height <= 0) return;
  std::unique_lock<std::mutex> lock(lock_);
  ++summary_.presented;
  if (summary_.firstPresentation == 0) summary_.firstPresentation = p.presentationTime;
  summary_.lastPresentation = p.presentationTime;
  if (p.receiveTime > 0) summary_.latencies.push_back(p.presentationTime - p.receiveTime);
  if (free_.empty() || finishing_) {
    ++summary_.notRecorded;
    return;
  }
  const size_t index = free_.back();
  free_.pop_back();
  lock.unlock();
  // The slot is this thread's until it is queued; the copy runs outside the lock.
  Slot& slot = slots_[index];
  const size_t row = static_cast<size_t>(p.width) * 4;
  slot.rgba.resize(row * static_cast<size_t>(p.height));
  for (int32_t y = 0; y < p.height; ++y)
    std::memcpy(slot.rgba.data() + row * static_cast<size_t>(y),
                p.rgba + static_cast<size_t>(p.stride) * static_cast<size_t>(y), row);
  slot.width = p.width;
  slot.height = p.height;
  lock.lock();
  queued_.push_back(index);
  lock.unlock();
  ready_.notify_one();
}

void DemoRecorder::encodeLoop() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    ready_.wait(lock, [&] { return !queued_.empty() || finishing_; });
    if (queued_.empty()) break;
    const size_t index = queued_.front();
    queued_.pop_front();
    lock.unlock();
    encode(slots_[index]);
    addThumb(slots_[index]);
    lock.lock();
    free_.push_back(index);
  }
}

void DemoRecorder::encode(const Slot& slot) {
  Encoder& e = *encoder_;
  if (!e.open) {
    if (!error_.empty()) return;
    orsa::platform::VideoFormat format;
    format.width = slot.width;
    format.height = slot.height;
    format.fps = fps_;
    // 4:2:0 needs even sizes; a layer of odd pixels keeps its size in 4:4:4.
    format.yuv444 = slot.width % 2 || slot.height % 2;
    format.maxBFrames = 0;
    format.threads = 1;
    if (!e.writer.open(videoPath_, format)) {
      error_ = "cannot write " + videoPath_ + ": " + e.writer.error();
      return;
    }
    e.open = true;
    e.width = slot.width;
    e.height = slot.height;
  }
  // A view resized while recording: the video keeps its first size.
  if (slot.width != e.width || slot.height != e.height) return;
  if (!e.writer.write(slot.rgba.data(), static_cast<size_t>(slot.width) * 4,
                      orsa::platform::VideoPixelOrder::RGBA)) {
    if (error_.empty()) error_ = "cannot encode into " + videoPath_ + ": " + e.writer.error();
    return;
  }
  ++encodedCount_;
}

void DemoRecorder::addThumb(const Slot& slot) {
  const uint64_t n = encodedCount_;
  if (n == 0 || (n - 1) % thumbEvery_ != 0) return;
  if (thumbs_.size() >= kThumbBudget) {
    size_t kept = 1;
    for (size_t i = 2; i < thumbs_.size(); i += 2) thumbs_[kept++] = std::move(thumbs_[i]);
    thumbs_.resize(kept);
    thumbEvery_ *= 2;
    if ((n - 1) % thumbEvery_ != 0) return;
  }
  const int32_t f = std::max(1, (slot.width + kThumbMaxWidth - 1) / kThumbMaxWidth);
  Thumb t;
  t.width = slot.width / f;
  t.height = slot.height / f;
  t.rgba.resize(static_cast<size_t>(t.width) * t.height * 4);
  // A box filter over f x f pixels.
  for (int32_t y = 0; y < t.height; ++y)
    for (int32_t x = 0; x < t.width; ++x)
      for (int c = 0; c < 4; ++c) {
        uint32_t sum = 0;
        for (int32_t dy = 0; dy < f; ++dy)
          for (int32_t dx = 0; dx < f; ++dx)
            sum += slot.rgba[((static_cast<size_t>(y) * f + dy) * slot.width + x * f + dx) * 4 + c];
        t.rgba[(static_cast<size_t>(y) * t.width + x) * 4 + c] =
            static_cast<uint8_t>(sum / static_cast<uint32_t>(f * f));
      }
  thumbs_.push_back(std::move(t));
}

bool DemoRecorder::writeSheet() {
  if (thumbs_.empty()) {
    error_ = "nothing was presented, so there is no contact sheet";
    return false;
  }
  const size_t count = std::min(kSheetPictures, thumbs_.size());
  const size_t columns = std::min(kSheetColumns, count);
  const size_t rows = (count + columns - 1) / columns;
  const int32_t tw = thumbs_[0].width, th = thumbs_[0].height;
  const int32_t width = static_cast<int32_t>(columns) * (tw + kSheetGap) + kSheetGap;
  const int32_t height = static_cast<int32_t>(rows) * (th + kSheetGap) + kSheetGap;
  std::vector<uint8_t> sheet(static_cast<size_t>(width) * height * 4, 0);
  for (size_t i = 3; i < sheet.size(); i += 4) sheet[i] = 255;
  for (size_t i = 0; i < count; ++i) {
    // Evenly spread over the run, first and last included.
    const size_t pick = count == 1 ? 0 : i * (thumbs_.size() - 1) / (count - 1);
    const Thumb& t = thumbs_[pick];
    if (t.width != tw || t.height != th || t.rgba.empty()) continue;
    const int32_t ox = kSheetGap + static_cast<int32_t>(i % columns) * (tw + kSheetGap);
    const int32_t oy = kSheetGap + static_cast<int32_t>(i / columns) * (th + kSheetGap);
    for (int32_t y = 0; y < th; ++y)
      std::memcpy(sheet.data() + ((static_cast<size_t>(oy) + y) * width + ox) * 4,
                  t.rgba.data() + static_cast<size_t>(y) * tw * 4, static_cast<size_t>(tw) * 4);
  }
  std::string why;
  if (!orsa::gl::writePngRGBA(sheetPath_, sheet.data(), width, height, width * 4, why)) {
    error_ = "cannot write " + sheetPath_ + ": " + why;
    return false;
  }
  return true;
}

DemoRecorder::Summary DemoRecorder::finish() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    finishing_ = true;
  }
  ready_.notify_one();
  if (thread_.joinable()) thread_.join();
  if (encoder_->open && !encoder_->writer.finish() && error_.empty())
    error_ = "cannot complete " + videoPath_ + ": " + encoder_->writer.error();
  if (!encoder_->open && error_.empty()) error_ = "nothing was presented, so there is no video";
  encoder_->open = false;
  if (error_.empty()) writeSheet();
  std::lock_guard<std::mutex> lock(lock_);
  Summary s = summary_;
  s.recorded = encodedCount_;
  s.error = error_;
  std::sort(s.latencies.begin(), s.latencies.end());
  return s;
}

int64_t DemoRecorder::percentile(const std::vector<int64_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  // Nearest rank.
  const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace orsa::tool
