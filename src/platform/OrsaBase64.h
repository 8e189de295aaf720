#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Standard base64 (RFC 4648 alphabet, "=" padding).
class OrsaBase64 {
 public:
  static std::string encode(std::string_view bytes);

  // Strict: the length must be a multiple of 4, every character must belong to the alphabet,
  // "=" may only end the text (at most two of them) and the bits that padding discards must
  // be zero. Nothing is skipped, so line breaks and blanks make the text invalid. Every
  // accepted text therefore has exactly one meaning.
  static std::optional<std::string> decode(std::string_view text);
};
