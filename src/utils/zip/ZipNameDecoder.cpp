#include "utils/zip/ZipNameDecoder.h"

#include <iconv.h>
#include <uchardet/uchardet.h>

#include <cerrno>
#include <memory>

#include "platform/Utf8.h"
#include "utils/zip/VZZipArchive.h"

namespace orsa::zip {

using orsa::platform::isValidUtf8;

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
