#include "support/ZipPatch.h"

#include "support/TestSupport.h"

namespace orsa::test {

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

// Offset of the central record of `name`, or npos.
size_t findCentral(const std::string& b, const std::string& name) {
  size_t eocd = b.size() < 22 ? std::string::npos : b.rfind(std::string("PK\5\6", 4));
  if (eocd == std::string::npos) return eocd;
  size_t cd = rd32(b, eocd + 16);
  for (uint32_t i = 0, count = rd16(b, eocd + 10); i < count && cd + 46 <= b.size(); ++i) {
    if (rd32(b, cd) != 0x02014b50) break;
    uint32_t n = rd16(b, cd + 28), x = rd16(b, cd + 30), c = rd16(b, cd + 32);
    if (n == name.size() && b.compare(cd + 46, n, name) == 0) return cd;
    cd += 46 + n + x + c;
  }
  return std::string::npos;
}

// Applies `edit(buffer, centralOffset, localOffset)` to the named entry.
template <typename F>
bool patch(const std::filesystem::path& zip, const std::string& name, F edit) {
  std::string b = readFile(zip);
  size_t cd = findCentral(b, name);
  if (cd == std::string::npos) return false;
  size_t local = rd32(b, cd + 42);
  if (local + 30 > b.size() || rd32(b, local) != 0x04034b50) return false;
  edit(b, cd, local);
  writeFile(zip, b);
  return true;
}

}  // namespace

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

bool ZipPatch::aliasEntry(const std::filesystem::path& zip, const std::string& name,
                          const std::string& target) {
  size_t from = findCentral(readFile(zip), target);
  return from != std::string::npos && patch(zip, name, [&](std::string& b, size_t cd, size_t) {
           // Method and time, CRC, both sizes, local header offset.
           for (size_t off : {10u, 16u, 20u, 24u, 42u}) wr32(b, cd + off, rd32(b, from + off));
         });
}

}  // namespace orsa::test
