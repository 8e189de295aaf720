#include "platform/Utf8.h"

#include <cstdint>

namespace orsa::platform {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    uint32_t min;
    if ((b & 0xe0) == 0xc0) {
      len = 2;
      cp = b & 0x1f;
      min = 0x80;
    } else if ((b & 0xf0) == 0xe0) {
      len = 3;
      cp = b & 0x0f;
      min = 0x800;
    } else if ((b & 0xf8) == 0xf0) {
      len = 4;
      cp = b & 0x07;
      min = 0x10000;
    } else {
      return false;  // a continuation byte without a lead, or 0xf8-0xff
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char c = p[i + k];
      if ((c & 0xc0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += len;
  }
  return true;
}

}  // namespace orsa::platform
