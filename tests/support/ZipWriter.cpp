#include "support/ZipWriter.h"

#include <minizip/zip.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace orsa::test {

namespace {

// Traditional PKWARE encryption, written here because the system's minizip leaves it out.
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

}  // namespace

ZipWriter::ZipWriter(std::filesystem::path path) : path_(std::move(path)) {
  zip_ = zipOpen64(path_.string().c_str(), APPEND_STATUS_CREATE);
  ok_ = zip_ != nullptr;
}

ZipWriter::~ZipWriter() {
  if (zip_) close();
}

ZipWriter& ZipWriter::add(const ZipEntrySpec& entrySpec) {
  if (!zip_) {
    ok_ = false;
    return *this;
  }
  zip_fileinfo zi{};
  zi.dosDate =
      entrySpec.dosDate ? entrySpec.dosDate : 0x21;  // a valid placeholder, patched to 0 later
  uint32_t attrs = entrySpec.externalAttributes;
  bool isDir = !entrySpec.name.empty() && entrySpec.name.back() == '/';
  if (attrs == 0) {
    if (entrySpec.host == ZipHost::Unix)
      attrs = (entrySpec.symlink ? 0120777u : isDir ? 040755u : 0100644u) << 16;
    else
      attrs = isDir ? 0x10 : 0x20;  // MS-DOS directory / archive bits
  }
  zi.external_fa = attrs;
  uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(entrySpec.data.data()),
                    static_cast<uInt>(entrySpec.data.size()));
  uLong madeBy = (static_cast<uLong>(entrySpec.host) << 8) | 20;
  const int zip64 = entrySpec.data.size() >= 0xffffffffu ? 1 : 0;
  if (!entrySpec.password.empty()) {
    // Raw entry: encryption header and encrypted (compressed) bytes are made here.
    std::string body =
        entrySpec.deflate ? rawDeflate(entrySpec.data, entrySpec.level) : entrySpec.data;
    std::string header(12, '\0');
    for (int i = 0; i < 11; ++i)
      header[i] = static_cast<char>((i * 37 + entrySpec.name.size()) & 0xff);
    header[11] = static_cast<char>((crc >> 24) & 0xff);
    std::string plain = header + body;
    PkCrypt pk(entrySpec.password);
    for (auto& ch : plain) ch = static_cast<char>(pk.encrypt(static_cast<unsigned char>(ch)));
    int rc = zipOpenNewFileInZip4_64(
        zip_, entrySpec.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr,
        entrySpec.deflate ? Z_DEFLATED : 0, entrySpec.deflate ? entrySpec.level : 0, 1, -MAX_WBITS,
        DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 1, zip64);
    if (rc != ZIP_OK ||
        zipWriteInFileInZip(zip_, plain.data(), static_cast<unsigned>(plain.size())) != ZIP_OK ||
        zipCloseFileInZipRaw64(zip_, entrySpec.data.size(), crc) != ZIP_OK)
      ok_ = false;
    if (entrySpec.dosDate == 0) zeroDates_.emplace_back(entrySpec.name, 0);
    return *this;
  }
  int rc = zipOpenNewFileInZip4_64(
      zip_, entrySpec.name.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr,
      entrySpec.deflate ? Z_DEFLATED : 0, entrySpec.deflate ? entrySpec.level : 0, 0, -MAX_WBITS,
      DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, crc, madeBy, 0, zip64);
  if (rc != ZIP_OK) {
    ok_ = false;
    return *this;
  }
  size_t off = 0;
  while (off < entrySpec.data.size()) {
    unsigned n = static_cast<unsigned>(std::min<size_t>(entrySpec.data.size() - off, 1u << 20));
    if (zipWriteInFileInZip(zip_, entrySpec.data.data() + off, n) != ZIP_OK) ok_ = false;
    off += n;
  }
  if (zipCloseFileInZip(zip_) != ZIP_OK) ok_ = false;
  if (entrySpec.dosDate == 0) zeroDates_.emplace_back(entrySpec.name, 0);
  return *this;
}

ZipWriter& ZipWriter::file(const std::string& name, const std::string& data, bool deflate) {
  ZipEntrySpec s;
  s.name = name;
  s.data = data;
  s.deflate = deflate;
  return add(s);
}

ZipWriter& ZipWriter::directory(const std::string& name) {
  ZipEntrySpec s;
  s.name = name;
  s.deflate = false;
  return add(s);
}

ZipWriter& ZipWriter::symlink(const std::string& name, const std::string& target) {
  ZipEntrySpec s;
  s.name = name;
  s.data = target;
  s.deflate = false;
  s.symlink = true;
  return add(s);
}

bool ZipWriter::close() {
  if (zip_) {
    if (zipClose(zip_, nullptr) != ZIP_OK) ok_ = false;
    zip_ = nullptr;
    for (const auto& [name, d] : zeroDates_)
      if (!ZipPatch::setDosDate(path_, name, d)) ok_ = false;
    zeroDates_.clear();
  }
  return ok_;
}

namespace {

uint32_t rd16(const std::string& b, size_t o) {
  return static_cast<uint8_t>(b[o]) | static_cast<uint8_t>(b[o + 1]) << 8;
}
uint32_t rd32(const std::string& b, size_t o) {
  return rd16(b, o) | rd16(b, o + 2) << 16;
}
void wr32(std::string& b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

std::string load(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void store(const std::filesystem::path& p, const std::string& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(b.data(), static_cast<std::streamsize>(b.size()));
}

// Offset of the central record of `name`, or npos.
size_t findCentral(const std::string& b, const std::string& name) {
  if (b.size() < 22) return std::string::npos;
  for (size_t eocd = b.size() - 22;; --eocd) {
    if (rd32(b, eocd) == 0x06054b50) {
      size_t cd = rd32(b, eocd + 16);
      uint32_t count = rd16(b, eocd + 10);
      for (uint32_t i = 0; i < count && cd + 46 <= b.size(); ++i) {
        if (rd32(b, cd) != 0x02014b50) break;
        uint32_t n = rd16(b, cd + 28), x = rd16(b, cd + 30), c = rd16(b, cd + 32);
        if (b.compare(cd + 46, n, name) == 0 && n == name.size()) return cd;
        cd += 46 + n + x + c;
      }
      return std::string::npos;
    }
    if (eocd == 0) return std::string::npos;
  }
}

// Applies `edit(buffer, centralOffset, localOffset)` to the named entry.
template <typename F>
bool patch(const std::filesystem::path& zip, const std::string& name, F edit) {
  std::string b = load(zip);
  size_t cd = findCentral(b, name);
  if (cd == std::string::npos) return false;
  size_t local = rd32(b, cd + 42);
  if (local + 30 > b.size() || rd32(b, local) != 0x04034b50) return false;
  edit(b, cd, local);
  store(zip, b);
  return true;
}

}  // namespace

bool ZipPatch::setCrc(const std::filesystem::path& zip, const std::string& name, uint32_t crc) {
  return patch(zip, name, [&](std::string& b, size_t cd, size_t lh) {
    wr32(b, cd + 16, crc);
    wr32(b, lh + 14, crc);
  });
}

bool ZipPatch::flipCrc(const std::filesystem::path& zip, const std::string& name) {
  return patch(zip, name, [&](std::string& b, size_t cd, size_t lh) {
    uint32_t crc = rd32(b, cd + 16) ^ 0x5a5a5a5au;
    wr32(b, cd + 16, crc);
    wr32(b, lh + 14, crc);
  });
}

bool ZipPatch::setDosDate(const std::filesystem::path& zip, const std::string& name, uint32_t d) {
  return patch(zip, name, [&](std::string& b, size_t cd, size_t lh) {
    wr32(b, cd + 12, d);
    wr32(b, lh + 10, d);
  });
}

bool ZipPatch::setSizes(const std::filesystem::path& zip, const std::string& name,
                        uint32_t compressed, uint32_t uncompressed) {
  return patch(zip, name, [&](std::string& b, size_t cd, size_t lh) {
    wr32(b, cd + 20, compressed);
    wr32(b, cd + 24, uncompressed);
    wr32(b, lh + 18, compressed);
    wr32(b, lh + 22, uncompressed);
  });
}

bool ZipPatch::setUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                   uint32_t uncompressed) {
  return patch(zip, name, [&](std::string& b, size_t cd, size_t lh) {
    wr32(b, cd + 24, uncompressed);
    wr32(b, lh + 22, uncompressed);
  });
}

bool ZipPatch::setCentralUncompressedSize(const std::filesystem::path& zip, const std::string& name,
                                          uint32_t uncompressed) {
  return patch(zip, name,
               [&](std::string& b, size_t cd, size_t) { wr32(b, cd + 24, uncompressed); });
}

int64_t ZipPatch::localHeaderOffset(const std::filesystem::path& zip, const std::string& name) {
  std::string b = load(zip);
  size_t cd = findCentral(b, name);
  return cd == std::string::npos ? -1 : static_cast<int64_t>(rd32(b, cd + 42));
}

bool ZipPatch::setLocalHeaderOffset(const std::filesystem::path& zip, const std::string& name,
                                    uint32_t offset) {
  std::string b = load(zip);
  size_t cd = findCentral(b, name);
  if (cd == std::string::npos) return false;
  wr32(b, cd + 42, offset);
  store(zip, b);
  return true;
}

bool ZipPatch::aliasEntry(const std::filesystem::path& zip, const std::string& name,
                          const std::string& target) {
  std::string b = load(zip);
  size_t cd = findCentral(b, name);
  size_t from = findCentral(b, target);
  if (cd == std::string::npos || from == std::string::npos) return false;
  // Method and time, CRC, both sizes, local header offset.
  for (size_t off : {10u, 16u, 20u, 24u, 42u}) wr32(b, cd + off, rd32(b, from + off));
  store(zip, b);
  return true;
}

void ZipPatch::truncate(const std::filesystem::path& zip, uint64_t size) {
  std::filesystem::resize_file(zip, size);
}

}  // namespace orsa::test
