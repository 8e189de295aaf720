#include "render/OrsaFrameData.h"

#include <cstring>
#include <utility>

#include "logging/QMXLogUtil.h"

namespace {

constexpr const char* kModule = "OrsaFrameData";
constexpr const char* kEmptyText = "updateSEI failed, data empty!";
constexpr const char* kSizeNotFitText = "updateSEI failed, data size not fit!";

int64_t readWordLE(const uint8_t* p) {
  const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                     (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  return static_cast<int64_t>(static_cast<int32_t>(u));
}

}  // namespace

const char* OrsaFrameData::seiStatusText(SEIStatus status) {
  switch (status) {
    case SEIStatus::Ok:
      return "";
    case SEIStatus::Empty:
      return kEmptyText;
    case SEIStatus::SizeNotFit:
      return kSizeNotFitText;
  }
  return "";
}

size_t OrsaFrameData::unescape(const uint8_t* data, size_t length, uint8_t* out, size_t capacity) {
  size_t written = 0;
  auto emit = [&](uint8_t b) {
    if (written < capacity) out[written] = b;
    ++written;
  };
  size_t zeros = 0;
  size_t i = 0;
  while (i < length) {
    const uint8_t b = data[i];
    if (zeros >= 2 && b == 0x03) {
      // The byte after the removed 0x03 is taken as it is and starts a new zero run. A 0x03 at
      // the very end has nothing after it and simply disappears.
      if (i + 1 < length) {
        const uint8_t next = data[i + 1];
        emit(next);
        zeros = next == 0x00 ? 1 : 0;
      }
      i += 2;
      continue;
    }
    emit(b);
    zeros = b == 0x00 ? zeros + 1 : 0;
    ++i;
  }
  return written;
}

OrsaFrameData::SEIStatus OrsaFrameData::updateSEI(const std::vector<uint8_t>* data) {
  if (!data) return updateSEI(nullptr, 0);
  return updateSEI(data->data(), data->size());
}

OrsaFrameData::SEIStatus OrsaFrameData::decodeSEI(const uint8_t* data, size_t length,
                                                  std::array<int64_t, kSEIFieldCount>& fields) {
  if (!data || length == 0) return SEIStatus::Empty;
  // Only the first nine words are stored, so only they need room; the rest is counted.
  uint8_t record[kSEIRecordSize];
  const size_t unescaped = unescape(data, length, record, sizeof(record));
  if (unescaped % 4 != 0 || unescaped < kSEIRecordSize) return SEIStatus::SizeNotFit;
  for (size_t i = 0; i < kSEIFieldCount; ++i) fields[i] = readWordLE(record + 4 * i);
  return SEIStatus::Ok;
}

OrsaFrameData::SEIStatus OrsaFrameData::updateSEI(const uint8_t* data, size_t length) {
  std::array<int64_t, kSEIFieldCount> f{};
  const SEIStatus status = decodeSEI(data, length, f);
  switch (status) {
    case SEIStatus::Empty:
      ORSA_LOG_INFO(kModule, kEmptyText);
      return status;
    case SEIStatus::SizeNotFit:
      ORSA_LOG_ERROR(kModule, kSizeNotFitText);
      return status;
    case SEIStatus::Ok:
      break;
  }
  fps_ = f[0];
  type_ = f[1];
  startIndex_ = f[2];
  endIndex_ = f[3];
  frameIndex_ = f[4];
  left_ = f[5];
  top_ = f[6];
  right_ = f[7];
  bottom_ = f[8];
  return status;
}

OrsaFrameData::ROIStatus OrsaFrameData::updateROIFrame(const uint8_t* data, uint64_t length,
                                                       int32_t width, int32_t height) {
  if (width < 0 || height < 0) {
    ORSA_LOG_ERROR(kModule, "updateROIFrame failed, invalid size: %d x %d", width, height);
    return ROIStatus::BadSize;
  }
  // Fits in 64 bits: both factors are below 2^31.
  const uint64_t needed = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4u;
  if (length < needed || (!data && length > 0)) {
    ORSA_LOG_ERROR(kModule, "updateROIFrame failed, length %llu too short for %d x %d",
                   static_cast<unsigned long long>(length), width, height);
    return ROIStatus::ShortData;
  }
  OrsaBuffer buffer = BufferPool::sharedInstance().poll(length);
  if (length > 0) std::memcpy(buffer->data(), data, static_cast<size_t>(length));
  roiData_ = std::move(buffer);
  roiWidth_ = width;
  roiHeight_ = height;
  return ROIStatus::Ok;
}

OrsaFrameData::ROIStatus OrsaFrameData::updateROIFrame(const uint8_t* data, uint64_t length,
                                                       int32_t width, int32_t height,
                                                       int32_t stride) {
  if (width < 0 || height < 0 || stride < 0) {
    ORSA_LOG_ERROR(kModule, "updateROIFrame failed, invalid size: %d x %d, stride %d", width,
                   height, stride);
    return ROIStatus::BadSize;
  }
  const uint64_t rowBytes = static_cast<uint64_t>(width) * 4u;
  if (stride == 0 || static_cast<uint64_t>(stride) == rowBytes) {
    return updateROIFrame(data, length, width, height);
  }
  if (static_cast<uint64_t>(stride) < rowBytes) {
    ORSA_LOG_ERROR(kModule, "updateROIFrame failed, stride %d shorter than a row of %d pixels",
                   stride, width);
    return ROIStatus::BadSize;
  }
  // The last row need not carry its padding; rows without pixels need no bytes at all.
  const uint64_t needed =
      height == 0 || rowBytes == 0
          ? 0
          : static_cast<uint64_t>(stride) * static_cast<uint64_t>(height - 1) + rowBytes;
  if (length < needed || (!data && needed > 0)) {
    ORSA_LOG_ERROR(kModule, "updateROIFrame failed, length %llu too short for %d x %d, stride %d",
                   static_cast<unsigned long long>(length), width, height, stride);
    return ROIStatus::ShortData;
  }
  const uint64_t packed = rowBytes * static_cast<uint64_t>(height);
  OrsaBuffer buffer = BufferPool::sharedInstance().poll(packed);
  for (int32_t row = 0; rowBytes > 0 && row < height; ++row) {
    std::memcpy(buffer->data() + rowBytes * static_cast<uint64_t>(row),
                data + static_cast<uint64_t>(stride) * static_cast<uint64_t>(row),
                static_cast<size_t>(rowBytes));
  }
  roiData_ = std::move(buffer);
  roiWidth_ = width;
  roiHeight_ = height;
  return ROIStatus::Ok;
}

void OrsaFrameData::updateOriginFrame(OrsaBuffer buffer, int32_t width, int32_t height) {
  originFrameData_ = std::move(buffer);
  originFrameWidth_ = width;
  originFrameHeight_ = height;
}

void OrsaFrameData::giveBackBuffers(BufferPool& pool) {
  pool.giveBack(std::exchange(roiData_, nullptr));
  pool.giveBack(std::exchange(originFrameData_, nullptr));
}
