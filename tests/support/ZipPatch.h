#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace orsa::test {

// Surgical edits of a finished archive, for damaged or lying archives. Each returns false
// when the named entry cannot be found.
struct ZipPatch {
  // A field's offset in the entry's central directory record and in its local header
  // (0: the edit leaves the local header alone, so the two records disagree).
  struct Field {
    size_t central, local;
  };
  static constexpr Field kDosDate{12, 10}, kCrc{16, 14}, kUncompressedSize{24, 22},
      kCentralUncompressedSize{24, 0};
  static bool set(const std::filesystem::path& zip, const std::string& name, Field field,
                  uint32_t value);
  // Makes the named entry's central record describe `target`'s data (method, CRC, sizes and
  // local header): both names then unpack the same bytes, as in overlapping-entry bombs.
  // The names must be equally long, as the local header is shared.
  static bool aliasEntry(const std::filesystem::path& zip, const std::string& name,
                         const std::string& target);
};

}  // namespace orsa::test
