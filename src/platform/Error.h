#pragma once

#include <cstdint>
#include <string>

namespace orsa::platform {

// A failure handed to a caller as a value: the domain that defines the code, the code
// itself and a human-readable description. Zip extraction, downloads and transfers all
// report through it, so callers compare domain and code, never description text.
struct Error {
  std::string domain;
  int64_t code = 0;
  std::string description;
};

// Domain of errors that carry an errno value as their code.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

}  // namespace orsa::platform
