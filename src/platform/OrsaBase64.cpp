#include "platform/OrsaBase64.h"

#include <array>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeReverse() {
  std::array<int8_t, 256> r{};
  for (auto& v : r) v = -1;
  for (int i = 0; i < 64; ++i) r[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return r;
}

constexpr std::array<int8_t, 256> kReverse = makeReverse();

}  // namespace

std::string OrsaBase64::encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto byteAt = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k]));
  };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = byteAt(i) << 16 | byteAt(i + 1) << 8 | byteAt(i + 2);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t v = byteAt(i) << 16;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += "==";
  } else if (rest == 2) {
    uint32_t v = byteAt(i) << 16 | byteAt(i + 1) << 8;
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::optional<std::string> OrsaBase64::decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int8_t c[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned char ch = static_cast<unsigned char>(text[i + k]);
      if (ch == '=') {
        // Padding is only the tail of the last quantum: "xx==" or "xxx=".
        if (!last || k < 2) return std::nullopt;
        ++padding;
        c[k] = 0;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a character after "="
      c[k] = kReverse[ch];
      if (c[k] < 0) return std::nullopt;
    }
    uint32_t v = static_cast<uint32_t>(c[0]) << 18 | static_cast<uint32_t>(c[1]) << 12 |
                 static_cast<uint32_t>(c[2]) << 6 | static_cast<uint32_t>(c[3]);
    out += static_cast<char>(v >> 16 & 0xff);
    if (padding == 2) {
      if ((v & 0xffff) != 0) return std::nullopt;
    } else {
      out += static_cast<char>(v >> 8 & 0xff);
      if (padding == 1) {
        if ((v & 0xff) != 0) return std::nullopt;
      } else {
        out += static_cast<char>(v & 0xff);
      }
    }
  }
  return out;
}
