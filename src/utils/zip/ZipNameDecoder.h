#pragma once

#include <string>
#include <string_view>

namespace orsa::zip {

// Turns raw entry-name bytes into UTF-8 text: the bytes themselves when they are UTF-8;
// otherwise the detected legacy encoding (CP437, GBK, Shift-JIS, ...) converted; the
// upper-case hexadecimal form of the bytes when no encoding fits.
std::string decodeEntryName(std::string_view bytes);

}  // namespace orsa::zip
