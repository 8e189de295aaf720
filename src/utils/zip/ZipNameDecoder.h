#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orsa::zip {

// Bit 11 of an entry's general purpose flag: its name is UTF-8.
inline constexpr unsigned kZipFlagUtf8Name = 0x800;

// Turns raw entry-name bytes into UTF-8 text: the bytes themselves when they are UTF-8;
// otherwise the detected legacy encoding (CP437, GBK, Shift-JIS, ...) converted; the
// upper-case hexadecimal form of the bytes when no encoding fits.
std::string decodeEntryName(std::string_view bytes);

struct RawEntryName {
  std::string bytes;
  bool utf8Flag = false;
};

// The one legacy encoding (an iconv name) of the names of an archive that carry no UTF-8 flag
// and are not UTF-8 anyway; empty when there are none. A writer uses one code page for a whole
// archive, and detection over all its names together is far surer than over one short name.
std::string legacyEncodingOf(const std::vector<RawEntryName>& names);

// Decodes every name of one archive, in order: UTF-8 names as they are, legacy names with the
// archive's legacy encoding, anything else one by one as decodeEntryName does.
std::vector<std::string> decodeEntryNames(const std::vector<RawEntryName>& names);

}  // namespace orsa::zip
