#pragma once

#include <string>
#include <string_view>

// Strings that arrive from outside (a start configuration, a decoder error) are logged as they
// are up to a few kilobytes; a longer one is cut there and marked with its full size, so that a
// hostile multi-megabyte argument cannot blow up a log line.
inline constexpr size_t kOrsaLogClipBytes = 4096;

inline std::string orsaLogClip(std::string_view text, size_t limit = kOrsaLogClipBytes) {
  if (text.size() <= limit) return std::string(text);
  std::string out(text.substr(0, limit));
  out += "...(";
  out += std::to_string(text.size());
  out += " bytes)";
  return out;
}
