#pragma once

#include <cstdint>
#include <string>

namespace orsa::zip {

// Host systems recorded in the high byte of "version made by".
enum class ZipHost : uint8_t { MsDos = 0, Unix = 3, Ntfs = 10 };

// One entry as it goes into an archive.
struct ZipEntry {
  std::string name;  // raw bytes: any encoding, any content
  std::string data;  // the content; for a link, its target
  bool deflate = true;
  int level = 6;
  std::string password;  // traditional PKWARE encryption when not empty
  ZipHost host = ZipHost::Unix;
  uint32_t externalAttributes = 0;  // 0: derived from host and kind
  uint32_t dosDate = 0;             // 0: the current local time
  bool symlink = false;
  bool utf8Name = false;  // sets the flag that declares the name UTF-8
};

// The creating side of the zip facade, over minizip's writer. The archive is written under a
// temporary name and renamed into place by a successful close(), so a failed or abandoned
// archive never appears at the path.
class ZipWriter {
 public:
  explicit ZipWriter(std::string path);
  ~ZipWriter();  // closes when close() was not called
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  ZipWriter& add(const ZipEntry& entry);
  ZipWriter& file(const std::string& name, const std::string& data, bool deflate = true);
  ZipWriter& directory(const std::string& name);  // name ends with "/"
  ZipWriter& symlink(const std::string& name, const std::string& target);
  // Finishes the archive; false when anything failed (nothing is left at the path then).
  bool close();
  bool ok() const { return ok_; }

 private:
  std::string path_;
  std::string partial_;
  void* zip_ = nullptr;
  bool ok_ = true;
};

}  // namespace orsa::zip
