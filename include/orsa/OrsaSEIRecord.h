#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "orsa/OrsaExport.h"

// The side record a sender attaches to every head picture of a compositing stream, and which
// the host hands to IOrsaMirelo::onPlayerSyncRecvSEI just before the picture itself.
//
// On the wire it is the payload of one SEI message: nine signed 32-bit little-endian integers,
// 36 bytes, in this order:
//
//   offset  field       meaning
//    0      fps         the rate the view presents at (frames per second)
//    4      type        0: a background frame of the package, looked up by frameIndex
//    8      startIndex  (used by interpolated frames only; 0 otherwise)
//   12      endIndex    (likewise)
//   16      frameIndex  the number of the package's background frame the head belongs on
//   20      left        where the head goes on that background frame, in its pixels, with the
//   24      top         origin at the top-left; right and bottom are exclusive, so the head is
//   28      right       (right - left) x (bottom - top) pixels and should be exactly the size
//   32      bottom      of the head picture
//
// Words after the ninth are ignored, so a sender may append its own (a send time, say). The
// payload carries H.264/H.265 emulation prevention as it stands in the bitstream: wherever two
// zero bytes would be followed by a byte 0x00-0x03, a 0x03 is inserted, and a payload ending in
// two zero bytes gets a 0x03 after them. Hand the payload over exactly as the RTC library
// delivers it, escapes included; the engine removes them.
struct ORSA_EXPORT OrsaSEIRecord {
  static constexpr size_t kWordCount = 9;
  static constexpr size_t kSize = kWordCount * 4;

  int32_t fps = 0;
  int32_t type = 0;
  int32_t startIndex = 0;
  int32_t endIndex = 0;
  int32_t frameIndex = 0;
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  // The payload as a sender puts it into its SEI message: the nine words, then `extraWords`,
  // little-endian, with emulation prevention applied.
  std::vector<uint8_t> payload(std::span<const int32_t> extraWords = {}) const;

  // The record in an escaped payload, as the engine reads it; nothing for a payload that is
  // empty, shorter than nine words or not a whole number of words once unescaped.
  static std::optional<OrsaSEIRecord> parse(std::span<const uint8_t> payload);

  // Emulation prevention on its own: what `payload` applies, and what the engine removes.
  static std::vector<uint8_t> escape(std::span<const uint8_t> raw);
  static std::vector<uint8_t> unescape(std::span<const uint8_t> escaped);

  bool operator==(const OrsaSEIRecord&) const = default;
};
