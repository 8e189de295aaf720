#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orsa::tool {

// Our SEI messages in H.264 access units: how a sender wraps a record into a
// user-data-unregistered message, and how a receiver finds it again in Annex B bytes, escapes
// and all, the way an RTC library hands it to its host.
namespace sei {

// The user-data-unregistered UUID that marks our messages. It ends in a non-zero byte, so the
// payload after it starts escape-free and can be handed on as it stands in the bitstream.
inline constexpr std::array<uint8_t, 16> kUuid = {0x6f, 0x72, 0x73, 0x61, 0x2d, 0x6d, 0x69, 0x72,
                                                  0x65, 0x6c, 0x6f, 0x2d, 0x73, 0x65, 0x69, 0x31};

// A whole SEI NAL unit (header byte first, no start code) with one user-data-unregistered
// message: our UUID, then `payload` (the raw, unescaped record words); emulation prevention
// applied over the unit as H.264 requires.
std::vector<uint8_t> buildNal(std::span<const uint8_t> payload);

// `accessUnit` (Annex B) with `nal` inserted, with a 4-byte start code, just before the first
// slice; at the end when there is none.
std::vector<uint8_t> insertBeforeFirstSlice(std::span<const uint8_t> accessUnit,
                                            std::span<const uint8_t> nal);

enum class Status {
  Found,      // our message, at least a whole record of whole words
  Missing,    // no SEI message at all
  OtherUuid,  // SEI messages, none of them ours
  Truncated,  // ours, but cut short or not a whole number of words
};

struct Found {
  Status status = Status::Missing;
  // Into the access unit: the message's payload after our UUID, still escaped.
  std::span<const uint8_t> payload;
};

// Whether Annex B bytes hold a slice: a unit without one (a lone delimiter) is no picture.
bool hasSlice(std::span<const uint8_t> accessUnit);

// Looks through every SEI NAL unit of an Annex B access unit for our message.
Found find(std::span<const uint8_t> accessUnit);

// Calls `fn(nal)` for every NAL unit of Annex B bytes (without its start code; trailing zero
// bytes that belong to the next start code are not part of it).
template <typename Fn>
void forEachNal(std::span<const uint8_t> bytes, Fn&& fn);

// Where the next start code (00 00 01) begins at or after `from`; bytes.size() when none.
size_t nextStartCode(std::span<const uint8_t> bytes, size_t from);

template <typename Fn>
void forEachNal(std::span<const uint8_t> bytes, Fn&& fn) {
  size_t at = nextStartCode(bytes, 0);
  while (at < bytes.size()) {
    const size_t begin = at + 3;
    size_t next = nextStartCode(bytes, begin);
    size_t end = next;
    while (end > begin && bytes[end - 1] == 0) --end;
    if (end > begin) fn(bytes.subspan(begin, end - begin));
    at = next;
  }
}

}  // namespace sei
}  // namespace orsa::tool
