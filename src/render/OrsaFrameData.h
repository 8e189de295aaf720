#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "render/BufferPool.h"

// One frame as it travels from intake to drawing: the nine fields of the frame's SEI record,
// a pooled copy of the received head (ROI) pixels and the background frame's pixels.
//
// The record takes no lock: one thread fills it and hands it on, after which only the view
// touches it. The view returns both buffers to BufferPool after drawing, with giveBackBuffers,
// which leaves the record without them: a record given back twice returns nothing the second
// time, so a buffer the pool has lent out again never gets a second holder.
class OrsaFrameData {
 public:
  // Size of a complete SEI record: nine 32-bit little-endian words.
  static constexpr size_t kSEIRecordSize = 36;
  static constexpr size_t kSEIFieldCount = 9;

  enum class SEIStatus {
    Ok,
    Empty,       // no payload, or a payload with no bytes
    SizeNotFit,  // unescaped length not a whole number of words, or fewer than nine of them
  };
  // The log text of a refusal; empty for Ok.
  static const char* seiStatusText(SEIStatus status);

  enum class ROIStatus {
    Ok,
    BadSize,    // negative width or height, or a row stride shorter than a row of pixels
    ShortData,  // fewer bytes than width x height x 4 (or a null pointer with bytes to copy)
  };

  OrsaFrameData() = default;

  // Parses an SEI payload, still carrying its emulation-prevention bytes, into the nine SEI
  // fields. A refused payload leaves every field as it was.
  SEIStatus updateSEI(const uint8_t* data, size_t length);
  SEIStatus updateSEI(const std::vector<uint8_t>* data);
  SEIStatus updateSEI(const std::vector<uint8_t>& data) { return updateSEI(&data); }

  // Copies `length` bytes of packed BGRA head pixels into a buffer of exactly `length` bytes
  // from the shared pool. The copy is complete on return, so the caller may reuse its memory.
  // Refused, with the record unchanged, when the bytes cannot hold width x height pixels: the
  // draw reads that many.
  ROIStatus updateROIFrame(const uint8_t* data, uint64_t length, int32_t width, int32_t height);
  // The same for a plane whose rows are `stride` bytes apart: the rows are packed while copying
  // into a buffer of width x height x 4 bytes, the layout the view draws from.
  ROIStatus updateROIFrame(const uint8_t* data, uint64_t length, int32_t width, int32_t height,
                           int32_t stride);

  // Stores the background buffer itself (no copy) and its size.
  void updateOriginFrame(OrsaBuffer buffer, int32_t width, int32_t height);

  // Moves both pixel buffers out of the record into `pool`; the sizes stay for logging.
  void giveBackBuffers(BufferPool& pool = BufferPool::sharedInstance());

  const OrsaBuffer& roiData() const { return roiData_; }
  void setRoiData(OrsaBuffer v) { roiData_ = std::move(v); }
  int64_t roiWidth() const { return roiWidth_; }
  void setRoiWidth(int64_t v) { roiWidth_ = v; }
  int64_t roiHeight() const { return roiHeight_; }
  void setRoiHeight(int64_t v) { roiHeight_ = v; }

  const OrsaBuffer& originFrameData() const { return originFrameData_; }
  void setOriginFrameData(OrsaBuffer v) { originFrameData_ = std::move(v); }
  int64_t originFrameWidth() const { return originFrameWidth_; }
  void setOriginFrameWidth(int64_t v) { originFrameWidth_ = v; }
  int64_t originFrameHeight() const { return originFrameHeight_; }
  void setOriginFrameHeight(int64_t v) { originFrameHeight_ = v; }

  int64_t fps() const { return fps_; }
  void setFps(int64_t v) { fps_ = v; }
  int64_t type() const { return type_; }
  void setType(int64_t v) { type_ = v; }
  int64_t startIndex() const { return startIndex_; }
  void setStartIndex(int64_t v) { startIndex_ = v; }
  int64_t endIndex() const { return endIndex_; }
  void setEndIndex(int64_t v) { endIndex_ = v; }
  int64_t frameIndex() const { return frameIndex_; }
  void setFrameIndex(int64_t v) { frameIndex_ = v; }
  int64_t left() const { return left_; }
  void setLeft(int64_t v) { left_ = v; }
  int64_t top() const { return top_; }
  void setTop(int64_t v) { top_ = v; }
  int64_t right() const { return right_; }
  void setRight(int64_t v) { right_ = v; }
  int64_t bottom() const { return bottom_; }
  void setBottom(int64_t v) { bottom_ = v; }

  // Bookkeeping of the intake, for the view's statistics: the order in which frames arrived
  // (0: not numbered) and when, in milliseconds on the steady clock.
  uint64_t sequence() const { return sequence_; }
  void setSequence(uint64_t v) { sequence_ = v; }
  int64_t receiveTime() const { return receiveTime_; }
  void setReceiveTime(int64_t v) { receiveTime_ = v; }

  // The parse behind updateSEI, without logging and without touching a record: on Ok, `fields`
  // holds fps, type, startIndex, endIndex, frameIndex, left, top, right, bottom in that order.
  static SEIStatus decodeSEI(const uint8_t* data, size_t length,
                             std::array<int64_t, kSEIFieldCount>& fields);

  // Removes emulation-prevention bytes (a 0x03 after two zero bytes) in one pass. Writes at most
  // `capacity` bytes to `out` and returns the full unescaped length, so a caller that needs only
  // a prefix does not have to hold the whole payload twice.
  static size_t unescape(const uint8_t* data, size_t length, uint8_t* out, size_t capacity);

 private:
  OrsaBuffer roiData_;
  int64_t roiWidth_ = 0;
  int64_t roiHeight_ = 0;
  OrsaBuffer originFrameData_;
  int64_t originFrameWidth_ = 0;
  int64_t originFrameHeight_ = 0;
  int64_t fps_ = 0;
  int64_t type_ = 0;
  int64_t startIndex_ = 0;
  int64_t endIndex_ = 0;
  int64_t frameIndex_ = 0;
  int64_t left_ = 0;
  int64_t top_ = 0;
  int64_t right_ = 0;
  int64_t bottom_ = 0;
  uint64_t sequence_ = 0;
  int64_t receiveTime_ = 0;
};
