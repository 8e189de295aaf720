#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace orsa::platform {

// Writes all of data to fd, retrying after interruptions and short writes. On failure returns
// false with errno describing the error.
bool writeAll(int fd, const void* data, size_t size);

inline bool writeAll(int fd, const std::string& bytes) {
  return writeAll(fd, bytes.data(), bytes.size());
}

// Replaces the file at path with bytes so that, even across a crash, the path holds either the
// old content or the whole new one: a temporary file "<name>.tmp-<pid>-<n>" in the same folder
// is written, flushed to disk, renamed over the target, and the folder is flushed too. False
// with `error` (when given) saying why; no temporary file is left behind then.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode = 0644,
                         std::string* error = nullptr);

// Removes the temporary files that writeFileAtomically left beside path in processes that died
// mid-write (their pid no longer exists). Never reads them.
void removeStaleAtomicWriteTemporaries(const std::string& path);

}  // namespace orsa::platform
