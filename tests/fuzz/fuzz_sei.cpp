// SEI payloads come straight from the network; the ROI copy takes sizes from the host. Both
// must stay inside their buffers whatever they are given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "orsa/OrsaSEIRecord.h"
#include "render/BufferPool.h"
#include "render/OrsaFrameData.h"

#include "FuzzQuiet.h"

namespace {

uint32_t take(const uint8_t*& p, size_t& n, size_t bytes) {
  uint32_t v = 0;
  for (size_t i = 0; i < bytes && n > 0; ++i, ++p, --n) v |= static_cast<uint32_t>(*p) << (8 * i);
  return v;
}

void checkSEI(const uint8_t* data, size_t size) {
  // Unescaping never grows the payload, and a short capacity yields the same prefix.
  std::vector<uint8_t> full(size);
  const size_t n = OrsaFrameData::unescape(data, size, full.data(), full.size());
  if (n > size) std::abort();
  uint8_t prefix[OrsaFrameData::kSEIRecordSize];
  const size_t m = OrsaFrameData::unescape(data, size, prefix, sizeof(prefix));
  if (m != n) std::abort();
  if (n > 0 && std::memcmp(prefix, full.data(), n < sizeof(prefix) ? n : sizeof(prefix)) != 0)
    std::abort();

  OrsaFrameData frame;
  frame.setFps(-7);
  const auto status = frame.updateSEI(data, size);
  const bool ok = size > 0 && n % 4 == 0 && n >= OrsaFrameData::kSEIRecordSize;
  if ((status == OrsaFrameData::SEIStatus::Ok) != ok) std::abort();
  if (!ok && frame.fps() != -7) std::abort();
  if (ok) {
    int32_t fps;
    std::memcpy(&fps, full.data(), 4);  // little-endian host
    if (frame.fps() != fps) std::abort();
  }
}

// What a sender makes with the public helper reads back as the same record, and escaping is
// undone exactly by the engine's unescaping, whatever the bytes.
void checkRoundTrip(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  if (OrsaSEIRecord::unescape(OrsaSEIRecord::escape(bytes)) !=
      std::vector<uint8_t>(bytes.begin(), bytes.end()))
    std::abort();
  if (size < OrsaSEIRecord::kSize) return;
  OrsaSEIRecord r;
  int32_t* fields[] = {&r.fps,  &r.type, &r.startIndex, &r.endIndex, &r.frameIndex,
                       &r.left, &r.top,  &r.right,      &r.bottom};
  for (size_t i = 0; i < OrsaSEIRecord::kWordCount; ++i) std::memcpy(fields[i], data + 4 * i, 4);
  const int32_t extra[] = {static_cast<int32_t>(size)};
  const auto parsed = OrsaSEIRecord::parse(r.payload(extra));
  if (!parsed || !(*parsed == r)) std::abort();
}

void checkROI(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  size_t n = size;
  const int32_t width = static_cast<int32_t>(take(p, n, 2)) - 8;  // a few negative ones
  const int32_t height = static_cast<int32_t>(take(p, n, 1)) - 8;
  const int32_t stride = static_cast<int32_t>(take(p, n, 2)) - 8;
  const uint64_t claimed = take(p, n, 2);
  const uint64_t length = claimed < n ? claimed : n;  // the host's bytes are really there
  OrsaFrameData frame;
  const auto status = frame.updateROIFrame(n ? p : nullptr, length, width, height, stride);
  if (status != OrsaFrameData::ROIStatus::Ok) {
    if (frame.roiData()) std::abort();
    return;
  }
  const auto& roi = frame.roiData();
  if (!roi || frame.roiWidth() != width || frame.roiHeight() != height) std::abort();
  const uint64_t row = static_cast<uint64_t>(width) * 4;
  if (roi->size() < row * static_cast<uint64_t>(height)) std::abort();
  const uint64_t step = (stride == 0 || static_cast<uint64_t>(stride) == row) ? row : stride;
  for (int32_t y = 0; y < height; ++y) {
    if (row && std::memcmp(roi->data() + row * y, p + step * y, row) != 0) std::abort();
  }
  BufferPool::sharedInstance().giveBack(roi);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkSEI(data, size);
  checkRoundTrip(data, size);
  checkROI(data, size);
  return 0;
}
