#include "utils/zip/ZipEntryReader.h"

#include <algorithm>
#include <cstring>

namespace orsa::zip {

namespace {
constexpr size_t kRawChunk = 256 * 1024;
constexpr int kEncryptionHeaderSize = 12;
}  // namespace

ZipEntryReader::~ZipEntryReader() {
  if (open_) close();
}

unsigned char ZipEntryReader::decryptByte() const {
  unsigned temp = (keys_[2] & 0xffffu) | 2u;
  return static_cast<unsigned char>(((temp * (temp ^ 1u)) >> 8) & 0xffu);
}

void ZipEntryReader::updateKeys(unsigned char c) {
  keys_[0] = static_cast<uint32_t>(crcTable_[(keys_[0] ^ c) & 0xff] ^ (keys_[0] >> 8));
  keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813u + 1u;
  keys_[2] =
      static_cast<uint32_t>(crcTable_[(keys_[2] ^ (keys_[1] >> 24)) & 0xff] ^ (keys_[2] >> 8));
}

void ZipEntryReader::decrypt(unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(p[i] ^ decryptByte());
    updateKeys(c);
    p[i] = c;
  }
}

int ZipEntryReader::open(unzFile zip, const unz_file_info64& info, const std::string& password) {
  zip_ = zip;
  encrypted_ = (info.flag & 1u) != 0;
  expectedCrc_ = static_cast<uint32_t>(info.crc);
  expectedSize_ = info.uncompressed_size;
  produced_ = 0;
  crc_ = crc32(0L, Z_NULL, 0);
  failed_ = false;
  reachedEnd_ = false;
  streamEnded_ = false;
  if (!encrypted_) {
    int rc = unzOpenCurrentFile(zip);
    open_ = rc == UNZ_OK;
    return rc;
  }
  if (password.empty()) return kBadPassword;
  if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) return UNZ_BADZIPFILE;
  int method = 0, level = 0;
  int rc = unzOpenCurrentFile2(zip, &method, &level, 1);
  if (rc != UNZ_OK) return rc;
  open_ = true;
  crcTable_ = get_crc_table();
  keys_[0] = 0x12345678u;
  keys_[1] = 0x23456789u;
  keys_[2] = 0x34567890u;
  for (unsigned char c : password) updateKeys(c);
  unsigned char header[kEncryptionHeaderSize];
  int got = 0;
  while (got < kEncryptionHeaderSize) {
    int n = unzReadCurrentFile(zip, header + got, kEncryptionHeaderSize - got);
    if (n <= 0) break;
    got += n;
  }
  if (got != kEncryptionHeaderSize) {
    close();
    return UNZ_BADZIPFILE;
  }
  decrypt(header, sizeof header);
  // The last header byte repeats the CRC's high byte, or the time's high byte when sizes
  // and CRC follow the data.
  unsigned char check = (info.flag & 8u) ? static_cast<unsigned char>((info.dosDate >> 8) & 0xff)
                                         : static_cast<unsigned char>(expectedCrc_ >> 24);
  if (header[kEncryptionHeaderSize - 1] != check) {
    close();
    return kBadPassword;
  }
  inflating_ = info.compression_method == Z_DEFLATED;
  if (inflating_) {
    zs_ = z_stream{};
    if (inflateInit2(&zs_, -MAX_WBITS) != Z_OK) {
      inflating_ = false;
      close();
      return UNZ_INTERNALERROR;
    }
  }
  in_.resize(static_cast<size_t>(std::clamp<uint64_t>(info.compressed_size, 64, kRawChunk)));
  return UNZ_OK;
}

int ZipEntryReader::read(void* buf, unsigned len) {
  if (!open_ || failed_) return UNZ_PARAMERROR;
  if (len == 0) return 0;
  uint64_t left = expectedSize_ - std::min(expectedSize_, produced_);
  if (left == 0) {
    reachedEnd_ = true;
    return 0;
  }
  if (len > left) len = static_cast<unsigned>(left);
  int n = encrypted_ ? readEncrypted(static_cast<unsigned char*>(buf), len)
                     : unzReadCurrentFile(zip_, buf, len);
  if (n < 0) {
    failed_ = true;
    return n;
  }
  if (n == 0) reachedEnd_ = true;
  produced_ += static_cast<uint64_t>(n);
  if (encrypted_) crc_ = crc32(crc_, static_cast<const Bytef*>(buf), static_cast<uInt>(n));
  return n;
}

int ZipEntryReader::readEncrypted(unsigned char* out, unsigned len) {
  if (!inflating_) {
    int n = unzReadCurrentFile(zip_, out, len);
    if (n > 0) decrypt(out, static_cast<size_t>(n));
    return n;
  }
  zs_.next_out = out;
  zs_.avail_out = len;
  while (zs_.avail_out > 0 && !streamEnded_) {
    if (zs_.avail_in == 0) {
      int n = unzReadCurrentFile(zip_, in_.data(), static_cast<unsigned>(in_.size()));
      if (n < 0) return n;
      if (n == 0) break;  // compressed data ran out before the stream ended
      decrypt(in_.data(), static_cast<size_t>(n));
      zs_.next_in = in_.data();
      zs_.avail_in = static_cast<uInt>(n);
    }
    int rc = inflate(&zs_, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      streamEnded_ = true;
    } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
      return Z_DATA_ERROR;
    } else if (rc == Z_BUF_ERROR && zs_.avail_in != 0) {
      return Z_DATA_ERROR;
    }
  }
  return static_cast<int>(len - zs_.avail_out);
}

int ZipEntryReader::close() {
  if (!open_) return UNZ_PARAMERROR;
  open_ = false;
  if (inflating_) {
    inflateEnd(&zs_);
    inflating_ = false;
  }
  int rc = unzCloseCurrentFile(zip_);
  if (failed_) return rc == UNZ_OK ? UNZ_CRCERROR : rc;
  // An entry left unread has nothing to verify.
  if (!reachedEnd_) return rc == UNZ_CRCERROR ? UNZ_OK : rc;
  if (!encrypted_) {
    // minizip compares CRCs only when the declared size was reached; a shorter entry would
    // pass unnoticed.
    if (rc == UNZ_OK && produced_ != expectedSize_) return UNZ_CRCERROR;
    return rc;
  }
  if (produced_ != expectedSize_ || static_cast<uint32_t>(crc_) != expectedCrc_)
    return UNZ_CRCERROR;
  return rc;
}

}  // namespace orsa::zip
