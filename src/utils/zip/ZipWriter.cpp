#include "utils/zip/ZipWriter.h"

#include <minizip/zip.h>
#include <stdio.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>

namespace orsa::zip {

namespace {

// Traditional PKWARE encryption, done here because the system's minizip is built without it.
class PkCrypt {
 public:
  explicit PkCrypt(const std::string& password) {
    for (unsigned char c : password) update(c);
  }
  unsigned char encrypt(unsigned char plain) {
    unsigned t = (k_[2] & 0xffffu) | 2u;
    auto ks = static_cast<unsigned char>(((t * (t ^ 1u)) >> 8) & 0xff);
    update(plain);
    return static_cast<unsigned char>(plain ^ ks);
  }

 private:
  void update(unsigned char c) {
    const z_crc_t* tab = get_crc_table();
    k_[0] = static_cast<uint32_t>(tab[(k_[0] ^ c) & 0xff] ^ (k_[0] >> 8));
    k_[1] = (k_[1] + (k_[0] & 0xff)) * 134775813u + 1u;
    k_[2] = static_cast<uint32_t>(tab[(k_[2] ^ (k_[1] >> 24)) & 0xff] ^ (k_[2] >> 8));
  }
  uint32_t k_[3] = {0x12345678u, 0x23456789u, 0x34567890u};
};

std::string rawDeflate(const std::string& data, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

uint32_t dosDateNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  return static_cast<uint32_t>(std::max(t.tm_year - 80, 0)) << 25 |
         static_cast<uint32_t>(t.tm_mon + 1) << 21 | static_cast<uint32_t>(t.tm_mday) << 16 |
         static_cast<uint32_t>(t.tm_hour) << 11 | static_cast<uint32_t>(t.tm_min) << 5 |
         static_cast<uint32_t>(t.tm_sec / 2);
}

}  // namespace

ZipWriter::ZipWriter(std::string path) : path_(std::move(path)), partial_(path_ + ".partial") {
  zip_ = zipOpen64(partial_.c_str(), APPEND_STATUS_CREATE);
  ok_ = zip_ != nullptr;
}

ZipWriter::~ZipWriter() {
  if (zip_) close();
}

ZipWriter& ZipWriter::add(const ZipEntry& e) {
  if (!zip_ || !ok_) {
    ok_ = false;
    return *this;
  }
  zip_fileinfo zi{};
  zi.dosDate = e.dosDate ? e.dosDate : dosDateNow();
  uint32_t attrs = e.externalAttributes;
  const bool isDir = !e.name.empty() && e.name.back() == '/';
  if (attrs == 0) {
    if (e.host == ZipHost::Unix)
      attrs = (e.symlink ? 0120777u : isDir ? 040755u : 0100644u) << 16;
    else
      attrs = isDir ? 0x10 : 0x20;  // MS-DOS directory / archive bits
  }
  zi.external_fa = attrs;
  const uLong crc = crc32_z(0L, reinterpret_cast<const Bytef*>(e.data.data()), e.data.size());
  const uLong madeBy = (static_cast<uLong>(e.host) << 8) | 20;
  const int zip64 = e.data.size() >= 0xffffffffu ? 1 : 0;
  const int method = e.deflate ? Z_DEFLATED : 0;
  const int level = e.deflate ? e.level : 0;
  const bool encrypt = !e.password.empty();
  // An encrypted entry goes in raw: its 12-byte header and encrypted bytes are made here.
  std::string body;
  if (encrypt) {
    body = e.deflate ? rawDeflate(e.data, e.level) : e.data;
    std::string header(12, '\0');
    for (int i = 0; i < 11; ++i) header[i] = static_cast<char>((i * 37 + e.name.size()) & 0xff);
    header[11] = static_cast<char>((crc >> 24) & 0xff);
    body.insert(0, header);
    PkCrypt pk(e.password);
    for (auto& ch : body) ch = static_cast<char>(pk.encrypt(static_cast<unsigned char>(ch)));
  }
  const std::string& out = encrypt ? body : e.data;
  if (zipOpenNewFileInZip4_64(zip_, e.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, method,
                              level, encrypt ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                              nullptr, 0, madeBy, (encrypt ? 1u : 0u) | (e.utf8Name ? 0x800u : 0u),
                              zip64) != ZIP_OK) {
    ok_ = false;
    return *this;
  }
  for (size_t off = 0; off < out.size() && ok_; off += 1u << 20) {
    unsigned n = static_cast<unsigned>(std::min<size_t>(out.size() - off, 1u << 20));
    if (zipWriteInFileInZip(zip_, out.data() + off, n) != ZIP_OK) ok_ = false;
  }
  int rc = encrypt ? zipCloseFileInZipRaw64(zip_, e.data.size(), crc) : zipCloseFileInZip(zip_);
  if (rc != ZIP_OK) ok_ = false;
  return *this;
}

ZipWriter& ZipWriter::file(const std::string& name, const std::string& data, bool deflate) {
  ZipEntry s;
  s.name = name;
  s.data = data;
  s.deflate = deflate;
  return add(s);
}

ZipWriter& ZipWriter::directory(const std::string& name) {
  ZipEntry s;
  s.name = name;
  s.deflate = false;
  return add(s);
}

ZipWriter& ZipWriter::symlink(const std::string& name, const std::string& target) {
  ZipEntry s;
  s.name = name;
  s.data = target;
  s.deflate = false;
  s.symlink = true;
  return add(s);
}

bool ZipWriter::close() {
  if (!zip_) return ok_;
  if (zipClose(zip_, nullptr) != ZIP_OK) ok_ = false;
  zip_ = nullptr;
  if (ok_ && ::rename(partial_.c_str(), path_.c_str()) != 0) ok_ = false;
  if (!ok_) ::remove(partial_.c_str());
  return ok_;
}

}  // namespace orsa::zip
