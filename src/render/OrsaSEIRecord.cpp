#include "orsa/OrsaSEIRecord.h"

#include <array>

#include "render/OrsaFrameData.h"

std::vector<uint8_t> OrsaSEIRecord::payload(std::span<const int32_t> extraWords) const {
  std::vector<uint8_t> raw;
  raw.reserve(kSize + 4 * extraWords.size());
  auto put = [&raw](int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8) raw.push_back(static_cast<uint8_t>(u >> shift));
  };
  for (int32_t v : {fps, type, startIndex, endIndex, frameIndex, left, top, right, bottom}) put(v);
  for (int32_t v : extraWords) put(v);
  return escape(raw);
}

std::optional<OrsaSEIRecord> OrsaSEIRecord::parse(std::span<const uint8_t> payload) {
  std::array<int64_t, OrsaFrameData::kSEIFieldCount> f{};
  if (OrsaFrameData::decodeSEI(payload.data(), payload.size(), f) != OrsaFrameData::SEIStatus::Ok)
    return std::nullopt;
  // The words are sign-extended 32-bit values, so narrowing them back loses nothing.
  auto w = [&f](size_t i) { return static_cast<int32_t>(f[i]); };
  return OrsaSEIRecord{w(0), w(1), w(2), w(3), w(4), w(5), w(6), w(7), w(8)};
}

std::vector<uint8_t> OrsaSEIRecord::escape(std::span<const uint8_t> raw) {
  std::vector<uint8_t> out;
  out.reserve(raw.size() + raw.size() / 2 + 1);
  int zeros = 0;
  for (uint8_t b : raw) {
    if (zeros >= 2 && b <= 0x03) {
      out.push_back(0x03);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0x00 ? zeros + 1 : 0;
  }
  if (zeros >= 2) out.push_back(0x03);
  return out;
}

std::vector<uint8_t> OrsaSEIRecord::unescape(std::span<const uint8_t> escaped) {
  std::vector<uint8_t> out(escaped.size());
  out.resize(OrsaFrameData::unescape(escaped.data(), escaped.size(), out.data(), out.size()));
  return out;
}
