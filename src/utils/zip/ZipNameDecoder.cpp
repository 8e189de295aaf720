#include "utils/zip/ZipNameDecoder.h"

#include <iconv.h>
#include <uchardet/uchardet.h>

#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/Utf8.h"
#include "utils/zip/VZZipArchive.h"

namespace orsa::zip {

using orsa::platform::isValidUtf8;

namespace {

// What the zip format prescribes for names without the UTF-8 flag, and what DOS and Windows
// tools in most Latin-script locales write.
constexpr const char* kDefaultLegacyEncoding = "CP437";
// Enough text for any detector; a hostile central directory must not make detection costly.
constexpr size_t kMaxDetectionBytes = 64 * 1024;

std::string detectCharset(std::string_view bytes) {
  std::unique_ptr<std::remove_pointer_t<uchardet_t>, void (*)(uchardet_t)> det(uchardet_new(),
                                                                               uchardet_delete);
  if (!det) return {};
  if (uchardet_handle_data(det.get(), bytes.data(), bytes.size()) != 0) return {};
  uchardet_data_end(det.get());
  const char* cs = uchardet_get_charset(det.get());
  return cs ? std::string(cs) : std::string();
}

// Converts with iconv; false when any byte does not map.
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

bool isLegacy(const RawEntryName& n) {
  return !n.utf8Flag && !isValidUtf8(n.bytes);
}

struct LetterCounts {
  size_t latin = 0;  // accented Latin letters
  size_t other = 0;  // letters of other scripts: Greek, Cyrillic, Hebrew, Arabic, Thai, CJK
};

// Counts letters among the non-ASCII code points of valid UTF-8 text.
LetterCounts countLetters(std::string_view utf8) {
  LetterCounts c;
  for (size_t i = 0; i < utf8.size();) {
    auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    size_t len;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b < 0xE0) {
      cp = b & 0x1F;
      len = 2;
    } else if (b < 0xF0) {
      cp = b & 0x0F;
      len = 3;
    } else {
      cp = b & 0x07;
      len = 4;
    }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    if ((cp >= 0xC0 && cp <= 0x24F && cp != 0xD7 && cp != 0xF7) || (cp >= 0x1E00 && cp <= 0x1EFF))
      ++c.latin;
    else if ((cp >= 0x370 && cp <= 0x52F) || (cp >= 0x590 && cp <= 0x6FF) ||
             (cp >= 0xE00 && cp <= 0xE7F) || (cp >= 0x3040 && cp <= 0x9FFF) ||
             (cp >= 0xAC00 && cp <= 0xD7AF) || (cp >= 0xFF00 && cp <= 0xFFEF))
      ++c.other;
  }
  return c;
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

std::string legacyEncodingOf(const std::vector<RawEntryName>& names) {
  std::string sample;
  bool any = false;
  for (const auto& n : names) {
    if (!isLegacy(n)) continue;
    any = true;
    if (sample.size() + n.bytes.size() + 1 > kMaxDetectionBytes) break;
    sample += n.bytes;
    // A line break between names keeps one name's last byte from pairing with the next one's
    // first in a multi-byte guess.
    sample += '\n';
  }
  if (!any) return {};

  // The guess must carry every legacy name; one that fails a name is the wrong code page.
  std::string guess = detectCharset(sample);
  std::string guessed;
  if (guess.empty() || guess == "ASCII" || guess == "UTF-8" ||
      !convertToUtf8(sample, guess, guessed))
    return kDefaultLegacyEncoding;
  for (const auto& n : names) {
    std::string out;
    if (isLegacy(n) && !convertToUtf8(n.bytes, guess, out)) return kDefaultLegacyEncoding;
  }
  // A guess that reads the names as another script (Cyrillic, CJK, ...) is what detection is
  // good at. Among Latin code pages it cannot tell DOS from Windows ones, so the format's own
  // default competes: the reading that makes more of the bytes letters wins, the default on a
  // tie (box-drawing signs and C1 controls are not what names are made of).
  LetterCounts g = countLetters(guessed);
  if (g.other > g.latin) return guess;
  std::string dos;
  if (!convertToUtf8(sample, kDefaultLegacyEncoding, dos)) return guess;
  return g.latin > countLetters(dos).latin ? guess : kDefaultLegacyEncoding;
}

std::vector<std::string> decodeEntryNames(const std::vector<RawEntryName>& names) {
  const std::string legacy = legacyEncodingOf(names);
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const auto& n : names) {
    std::string decoded;
    if (isLegacy(n) && convertToUtf8(n.bytes, legacy, decoded))
      out.push_back(std::move(decoded));
    else
      out.push_back(decodeEntryName(n.bytes));
  }
  return out;
}

}  // namespace orsa::zip
