#pragma once

// What test code uses to build archives: the library's writer, plus edits for damaged ones.
#include "support/ZipPatch.h"
#include "utils/zip/ZipWriter.h"

namespace orsa::test {
using orsa::zip::ZipEntry;
using orsa::zip::ZipHost;
using orsa::zip::ZipWriter;

// Unix external attributes for a regular file with the given permission bits.
inline uint32_t unixFileAttributes(uint32_t perms) {
  return (0100000u | perms) << 16;
}
}  // namespace orsa::test
