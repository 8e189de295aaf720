#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

// A JSON number as a whole number, only when it is one and fits: 7 and 7.0 give 7; 7.5, 1e300,
// NaN, 2^64 and anything not a number give nothing. (nlohmann's get<int64_t>() on 1e300 is a
// cast of a double out of range, undefined behaviour.)
inline std::optional<int64_t> orsaJsonInteger(const nlohmann::json& value) {
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (value.is_number_integer()) return value.get<int64_t>();
  if (value.is_number_float()) {
    const double d = value.get<double>();
    // 2^63 is exactly representable; every double below it and at or above -2^63 fits.
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(d) || d != std::trunc(d) || d < -kLimit || d >= kLimit) return std::nullopt;
    return static_cast<int64_t>(d);
  }
  return std::nullopt;
}
