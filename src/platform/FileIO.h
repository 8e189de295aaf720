#pragma once

#include <cstddef>
#include <string>

namespace orsa::platform {

// Writes all of data to fd, retrying after interruptions and short writes. On failure returns
// false with errno describing the error.
bool writeAll(int fd, const void* data, size_t size);

inline bool writeAll(int fd, const std::string& bytes) {
  return writeAll(fd, bytes.data(), bytes.size());
}

}  // namespace orsa::platform
