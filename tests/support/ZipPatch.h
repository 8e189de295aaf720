#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace orsa::test {

// Surgical edits of a finished archive, for damaged or lying archives: each changes the
// central directory record of the named entry (and its local header where both carry the
// field) and returns false when the entry cannot be found.
struct ZipPatch {
  static bool flipCrc(const std::filesystem::path& zip, const std::string& name);
  static bool setDosDate(const std::filesystem::path& zip, const std::string& name, uint32_t d);
  // Uncompressed size in both places, compressed size left as written.
  static bool setUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                  uint32_t uncompressed);
  // Central-directory-only edit of the uncompressed size (local header untouched).
  static bool setCentralUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                         uint32_t uncompressed);
  // Makes the named entry's central record describe `target`'s data (method, CRC, sizes and
  // local header): both names then unpack the same bytes, as in overlapping-entry bombs.
  static bool aliasEntry(const std::filesystem::path& zip, const std::string& name,
                         const std::string& target);
};

}  // namespace orsa::test
