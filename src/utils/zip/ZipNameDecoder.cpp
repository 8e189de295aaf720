#include "utils/zip/ZipNameDecoder.h"

#include <iconv.h>
#include <uchardet/uchardet.h>

#include <cerrno>
#include <memory>

#include "utils/zip/VZZipArchive.h"

namespace orsa::zip {

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    unsigned cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int i = 1; i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    p += extra + 1;
  }
  return true;
}

namespace {

std::string detectCharset(std::string_view bytes) {
  std::unique_ptr<std::remove_pointer_t<uchardet_t>, void (*)(uchardet_t)> det(uchardet_new(),
                                                                               uchardet_delete);
  if (!det) return {};
  if (uchardet_handle_data(det.get(), bytes.data(), bytes.size()) != 0) return {};
  uchardet_data_end(det.get());
  const char* cs = uchardet_get_charset(det.get());
  return cs ? std::string(cs) : std::string();
}

// Converts with iconv; nullopt-like empty result plus false when any byte does not map.
bool convertToUtf8(std::string_view bytes, const std::string& charset, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(bytes.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char* o = out.data();
  size_t oLeft = out.size();
  size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
  bool ok = r != static_cast<size_t>(-1) && inLeft == 0;
  if (ok) ok = iconv(cd, nullptr, nullptr, &o, &oLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (!ok) return false;
  out.resize(out.size() - oLeft);
  return isValidUtf8(out);
}

}  // namespace

std::string decodeEntryName(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string charset = detectCharset(bytes);
  // Detectors answer ASCII for text they could not place; pure ASCII is valid UTF-8 and
  // has been handled, so that answer is no answer here.
  if (!charset.empty() && charset != "ASCII") {
    std::string out;
    if (convertToUtf8(bytes, charset, out)) return out;
  }
  return VZZipArchive::_hexString(bytes);
}

}  // namespace orsa::zip
