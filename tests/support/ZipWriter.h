#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace orsa::test {

// Host systems recorded in the high byte of "version made by".
enum class ZipHost : uint8_t { MsDos = 0, Unix = 3, Ntfs = 10 };

// One entry as it goes into an archive. The name is raw bytes: any encoding, any content.
struct ZipEntrySpec {
  std::string name;
  std::string data;
  bool deflate = true;
  int level = 6;
  std::string password;  // traditional PKWARE encryption when not empty
  ZipHost host = ZipHost::Unix;
  uint32_t externalAttributes = 0;  // 0: derived from host and kind
  uint32_t dosDate = 0x5A2E6000;    // 2025-01-14 12:00:00; 0 is patched in after writing
  bool symlink = false;             // data is the link target
};

// Builds zip archives with minizip's writer, plus a few surgical edits of the result for
// damaged or lying archives.
class ZipWriter {
 public:
  explicit ZipWriter(std::filesystem::path path);
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  ZipWriter& add(const ZipEntrySpec& entrySpec);
  ZipWriter& file(const std::string& name, const std::string& data, bool deflate = true);
  ZipWriter& directory(const std::string& name);  // name should end with "/"
  ZipWriter& symlink(const std::string& name, const std::string& target);
  // Finishes the archive; false when minizip reported a failure anywhere.
  bool close();
  bool ok() const { return ok_; }

 private:
  std::filesystem::path path_;
  void* zip_ = nullptr;
  bool ok_ = true;
  std::vector<std::pair<std::string, uint32_t>> zeroDates_;
};

// Edits of a finished archive, applied to the central directory record of the named entry
// and its local header. Each returns false when the entry cannot be found.
struct ZipPatch {
  static bool setCrc(const std::filesystem::path& zip, const std::string& name, uint32_t crc);
  static bool flipCrc(const std::filesystem::path& zip, const std::string& name);
  static bool setDosDate(const std::filesystem::path& zip, const std::string& name, uint32_t d);
  static bool setSizes(const std::filesystem::path& zip, const std::string& name,
                       uint32_t compressed, uint32_t uncompressed);
  // Uncompressed size in both places, compressed size left as written.
  static bool setUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                  uint32_t uncompressed);
  // Central-directory-only edit of the uncompressed size (local header untouched).
  static bool setCentralUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                         uint32_t uncompressed);
  // Offset of the named entry's local header, or -1.
  static int64_t localHeaderOffset(const std::filesystem::path& zip, const std::string& name);
  // Points the named entry's central record at another entry's local header (overlap).
  static bool setLocalHeaderOffset(const std::filesystem::path& zip, const std::string& name,
                                   uint32_t offset);
  // Makes the named entry's central record describe `target`'s data (method, CRC, sizes and
  // local header): both names then unpack the same bytes, as in overlapping-entry bombs.
  // The names must have the same length.
  static bool aliasEntry(const std::filesystem::path& zip, const std::string& name,
                         const std::string& target);
  static void truncate(const std::filesystem::path& zip, uint64_t size);
};

// Unix external attributes for a regular file with the given permission bits.
inline uint32_t unixFileAttributes(uint32_t perms) {
  return (0100000u | perms) << 16;
}

}  // namespace orsa::test
