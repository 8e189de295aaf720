#pragma once

#include <string_view>

// UTF-8 as RFC 3629 defines it.
class OrsaUtf8 {
 public:
  // False for truncated sequences, stray continuation bytes, overlong forms, surrogate code
  // points (U+D800-U+DFFF) and anything above U+10FFFF.
  static bool isValid(std::string_view bytes);
};
