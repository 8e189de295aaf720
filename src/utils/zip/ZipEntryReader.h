#pragma once

#include <minizip/unzip.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orsa::zip {

// Result of opening an encrypted entry with a password that does not fit it.
inline constexpr int kBadPassword = -106;

// Reads the current entry of an open archive. Plain entries go through minizip's own
// reader; encrypted ones (traditional PKWARE encryption) are read raw and decrypted and
// inflated here, because the system's minizip is built without decryption support.
//
// In both cases the output never exceeds the declared uncompressed size, and close()
// reports a CRC error unless exactly that many bytes with the declared CRC came out.
class ZipEntryReader {
 public:
  ZipEntryReader() = default;
  ~ZipEntryReader();
  ZipEntryReader(const ZipEntryReader&) = delete;
  ZipEntryReader& operator=(const ZipEntryReader&) = delete;

  // password: used only for entries flagged as encrypted; empty means none.
  int open(unzFile zip, const unz_file_info64& info, const std::string& password);
  // Bytes read (> 0), 0 at the end of the entry, < 0 on failure.
  int read(void* buf, unsigned len);
  // UNZ_OK, UNZ_CRCERROR, or another minizip failure. Content is verified only when it
  // was read to its end.
  int close();

 private:
  int readEncrypted(unsigned char* out, unsigned len);
  void decrypt(unsigned char* p, size_t n);
  unsigned char decryptByte() const;
  void updateKeys(unsigned char c);

  unzFile zip_ = nullptr;
  bool open_ = false;
  bool encrypted_ = false;
  bool inflating_ = false;
  bool streamEnded_ = false;
  bool failed_ = false;
  bool reachedEnd_ = false;
  uint32_t expectedCrc_ = 0;
  uint64_t expectedSize_ = 0;
  uint64_t produced_ = 0;
  uLong crc_ = 0;
  uint32_t keys_[3] = {0, 0, 0};
  const z_crc_t* crcTable_ = nullptr;
  z_stream zs_{};
  std::vector<unsigned char> in_;
};

}  // namespace orsa::zip
