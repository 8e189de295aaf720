#pragma once

#include <string>
#include <string_view>

namespace orsa::zip {

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or code points
// above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Turns raw entry-name bytes into UTF-8 text: the bytes themselves when they are UTF-8;
// otherwise the detected legacy encoding (CP437, GBK, Shift-JIS, ...) converted; the
// upper-case hexadecimal form of the bytes when no encoding fits.
std::string decodeEntryName(std::string_view bytes);

}  // namespace orsa::zip
