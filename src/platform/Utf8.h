#pragma once

#include <string_view>

namespace orsa::platform {

// UTF-8 as RFC 3629 defines it: false for truncated sequences, stray continuation bytes,
// overlong forms, surrogate code points (U+D800-U+DFFF) and anything above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

}  // namespace orsa::platform
