#include "logging/LogRedact.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether name equals one of names, ignoring the case of ASCII letters (names are lower case).
template <size_t N>
bool isOneOf(std::string_view name, const std::array<std::string_view, N>& names) {
  for (auto n : names) {
    if (n.size() != name.size()) continue;
    size_t i = 0;
    while (i < n.size() && lower(name[i]) == n[i]) ++i;
    if (i == n.size()) return true;
  }
  return false;
}

// Names whose value runs to the end of the line: "Bearer v" and "a=1; b=2" hold blanks and
// separators of their own.
bool wholeLineValue(std::string_view name) {
  constexpr std::array<std::string_view, 4> names = {"authorization", "proxy-authorization",
                                                     "cookie", "set-cookie"};
  return isOneOf(name, names);
}

}  // namespace

bool orsaIsSecretName(std::string_view name) {
  constexpr std::array<std::string_view, 16> names = {
      "token",         "access_token", "refresh_token", "app_sign",
      "appsign",       "sign",         "signature",     "key",
      "api_key",       "apikey",       "secret",        "password",
      "authorization", "cookie",       "set-cookie",    "proxy-authorization"};
  if (name.size() < 3 || name.size() > 19) return false;
  return isOneOf(name, names);
}

bool orsaRedactSecrets(std::string_view text, std::string& out) {
  const char* const data = text.data();
  const size_t size = text.size();
  size_t copied = 0;  // text before this is in out already
  bool masked = false;
  size_t i = 0;
  while (i < size) {
    // Only a ':' or '=' can follow a name: everything else is skipped at memchr speed.
    const char* colon = static_cast<const char*>(std::memchr(data + i, ':', size - i));
    const char* equals = static_cast<const char*>(std::memchr(data + i, '=', size - i));
    const char* sep = !colon ? equals : !equals ? colon : std::min(colon, equals);
    if (!sep) break;
    const size_t at = static_cast<size_t>(sep - data);
    i = at + 1;
    // The name before it: blanks, then an optional closing quote, then name characters.
    size_t end = at;
    while (end > 0 && data[end - 1] == ' ') --end;
    if (end > 0 && (data[end - 1] == '"' || data[end - 1] == '\'')) --end;
    size_t begin = end;
    while (begin > 0 && isNameChar(data[begin - 1])) --begin;
    const std::string_view name(data + begin, end - begin);
    if (!orsaIsSecretName(name)) continue;
    // The value after it: blanks, then a quoted string or a bare word.
    size_t v = at + 1;
    while (v < size && data[v] == ' ') ++v;
    size_t valueBegin = v, valueEnd = v;
    if (v < size && (data[v] == '"' || data[v] == '\'')) {
      const char quote = data[v];
      valueBegin = valueEnd = v + 1;
      while (valueEnd < size && data[valueEnd] != quote) valueEnd += data[valueEnd] == '\\' ? 2 : 1;
      valueEnd = std::min(valueEnd, size);
    } else if (wholeLineValue(name)) {
      while (valueEnd < size && data[valueEnd] != '\r' && data[valueEnd] != '\n' &&
             data[valueEnd] != '"')
        ++valueEnd;
    } else {
      while (valueEnd < size && !std::strchr("&,;# \t\r\n}])\"'", data[valueEnd])) ++valueEnd;
    }
    if (valueEnd == valueBegin) continue;
    if (!masked) {
      out.clear();
      out.reserve(size + 16);
      masked = true;
    }
    out.append(data + copied, valueBegin - copied);
    out.append(kOrsaRedacted);
    copied = valueEnd;
    i = valueEnd;
  }
  if (!masked) return false;
  out.append(data + copied, size - copied);
  return true;
}

std::string orsaRedacted(std::string_view text) {
  std::string out;
  if (!orsaRedactSecrets(text, out)) out.assign(text);
  return out;
}
