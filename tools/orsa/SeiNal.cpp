#include "SeiNal.h"

#include <algorithm>
#include <cstring>

namespace orsa::tool::sei {
namespace {

constexpr uint8_t kNalSei = 6;
constexpr uint8_t kUserDataUnregistered = 5;
constexpr size_t kRecordBytes = 36;

// Reads the RBSP of a NAL unit byte by byte, dropping emulation-prevention bytes, and says
// where in the escaped bytes it stands.
class RbspReader {
 public:
  explicit RbspReader(std::span<const uint8_t> nal) : bytes_(nal) {}
  bool next(uint8_t& b) {
    if (zeros_ >= 2 && pos_ < bytes_.size() && bytes_[pos_] == 0x03) {
      ++pos_;
      zeros_ = 0;
    }
    if (pos_ >= bytes_.size()) return false;
    b = bytes_[pos_++];
    zeros_ = b == 0 ? zeros_ + 1 : 0;
    return true;
  }
  // More RBSP than the trailing bits: a message may still follow.
  bool moreData() const {
    size_t rest = pos_;
    if (zeros_ >= 2 && rest < bytes_.size() && bytes_[rest] == 0x03) ++rest;
    return rest < bytes_.size() && !(rest + 1 == bytes_.size() && bytes_[rest] == 0x80);
  }
  size_t position() const { return pos_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  int zeros_ = 0;
};

// An SEI header number: 0xFF bytes add 255 each, the last byte ends it.
bool readSeiNumber(RbspReader& r, uint32_t& value) {
  value = 0;
  for (uint8_t b = 0xFF; b == 0xFF;) {
    if (!r.next(b)) return false;
    value += b;
    if (value > (1u << 24)) return false;
  }
  return true;
}

bool isSlice(uint8_t header) {
  const uint8_t type = header & 0x1F;
  return type >= 1 && type <= 5;
}

}  // namespace

size_t nextStartCode(std::span<const uint8_t> bytes, size_t from) {
  for (size_t i = from; i + 2 < bytes.size(); ++i) {
    if (bytes[i + 2] > 1) {
      i += 2;  // none of the next two positions can start one
    } else if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      return i;
    }
  }
  return bytes.size();
}

std::vector<uint8_t> buildNal(std::span<const uint8_t> payload) {
  std::vector<uint8_t> rbsp;
  rbsp.push_back(kUserDataUnregistered);
  for (size_t size = kUuid.size() + payload.size();; size -= 255) {
    rbsp.push_back(static_cast<uint8_t>(std::min<size_t>(size, 255)));
    if (size < 255) break;
  }
  rbsp.insert(rbsp.end(), kUuid.begin(), kUuid.end());
  rbsp.insert(rbsp.end(), payload.begin(), payload.end());
  rbsp.push_back(0x80);  // rbsp_stop_one_bit and alignment

  std::vector<uint8_t> nal;
  nal.reserve(rbsp.size() + rbsp.size() / 2 + 1);
  nal.push_back(kNalSei);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 0x03) {
      nal.push_back(0x03);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return nal;
}

std::vector<uint8_t> insertBeforeFirstSlice(std::span<const uint8_t> accessUnit,
                                            std::span<const uint8_t> nal) {
  size_t at = accessUnit.size();
  for (size_t sc = nextStartCode(accessUnit, 0); sc < accessUnit.size();
       sc = nextStartCode(accessUnit, sc + 3)) {
    if (sc + 3 < accessUnit.size() && isSlice(accessUnit[sc + 3])) {
      // A four-byte start code keeps its leading zero.
      at = sc > 0 && accessUnit[sc - 1] == 0 ? sc - 1 : sc;
      break;
    }
  }
  std::vector<uint8_t> out;
  out.reserve(accessUnit.size() + nal.size() + 4);
  out.insert(out.end(), accessUnit.begin(), accessUnit.begin() + static_cast<ptrdiff_t>(at));
  out.insert(out.end(), {0, 0, 0, 1});
  out.insert(out.end(), nal.begin(), nal.end());
  out.insert(out.end(), accessUnit.begin() + static_cast<ptrdiff_t>(at), accessUnit.end());
  return out;
}

bool hasSlice(std::span<const uint8_t> accessUnit) {
  bool slice = false;
  forEachNal(accessUnit, [&](std::span<const uint8_t> nal) { slice = slice || isSlice(nal[0]); });
  return slice;
}

Found find(std::span<const uint8_t> accessUnit) {
  Found result;
  bool sawMessage = false, truncated = false;
  forEachNal(accessUnit, [&](std::span<const uint8_t> nal) {
    if (result.status == Status::Found || (nal[0] & 0x1F) != kNalSei) return;
    RbspReader r(nal.subspan(1));
    while (r.moreData()) {
      uint32_t type = 0, size = 0;
      if (!readSeiNumber(r, type) || !readSeiNumber(r, size)) return;
      sawMessage = true;
      if (type != kUserDataUnregistered || size < kUuid.size()) {
        uint8_t b;
        for (uint32_t i = 0; i < size; ++i)
          if (!r.next(b)) return;
        continue;
      }
      std::array<uint8_t, 16> uuid{};
      for (auto& b : uuid) {
        if (!r.next(b)) {
          truncated = true;
          return;
        }
      }
      const size_t begin = r.position();
      uint32_t got = 0;
      uint8_t b;
      while (got < size - kUuid.size() && r.next(b)) ++got;
      if (uuid != kUuid) {
        if (got < size - kUuid.size()) return;
        continue;
      }
      const uint32_t length = size - static_cast<uint32_t>(kUuid.size());
      if (got < length || length < kRecordBytes || length % 4 != 0) {
        truncated = true;
        return;
      }
      // The walk began in the unit after the header byte.
      result.status = Status::Found;
      result.payload = nal.subspan(1 + begin, r.position() - begin);
      return;
    }
  });
  if (result.status != Status::Found)
    result.status = truncated    ? Status::Truncated
                    : sawMessage ? Status::OtherUuid
                                 : Status::Missing;
  return result;
}

}  // namespace orsa::tool::sei
