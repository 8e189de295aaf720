#include "support/ZipPatch.h"

#include "support/TestSupport.h"

namespace orsa::test {

namespace {

uint32_t rd(const std::string& b, size_t o, int bytes = 4) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[o + i]);
  return v;
}
void wr32(std::string& b, size_t o, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[o + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Offset of the central record of `name`, or npos.
size_t findCentral(const std::string& b, const std::string& name) {
  size_t eocd = b.size() < 22 ? std::string::npos : b.rfind(std::string("PK\5\6", 4));
  if (eocd == std::string::npos) return eocd;
  size_t cd = rd(b, eocd + 16);
  for (uint32_t i = 0, count = rd(b, eocd + 10, 2); i < count && cd + 46 <= b.size(); ++i) {
    if (rd(b, cd) != 0x02014b50) break;
    uint32_t n = rd(b, cd + 28, 2);
    if (n == name.size() && b.compare(cd + 46, n, name) == 0) return cd;
    cd += 46 + n + rd(b, cd + 30, 2) + rd(b, cd + 32, 2);
  }
  return std::string::npos;
}

}  // namespace

bool ZipPatch::set(const std::filesystem::path& zip, const std::string& name, Field field,
                   uint32_t value) {
  std::string b = readFile(zip);
  size_t cd = findCentral(b, name);
  if (cd == std::string::npos) return false;
  size_t local = rd(b, cd + 42);
  if (local + 30 > b.size() || rd(b, local) != 0x04034b50) return false;
  wr32(b, cd + field.central, value);
  if (field.local) wr32(b, local + field.local, value);
  writeFile(zip, b);
  return true;
}

bool ZipPatch::aliasEntry(const std::filesystem::path& zip, const std::string& name,
                          const std::string& target) {
  std::string b = readFile(zip);
  size_t cd = findCentral(b, name), from = findCentral(b, target);
  if (cd == std::string::npos || from == std::string::npos) return false;
  // Method and time, CRC, both sizes, local header offset.
  for (size_t off : {10u, 16u, 20u, 24u, 42u}) wr32(b, cd + off, rd(b, from + off));
  writeFile(zip, b);
  return true;
}

}  // namespace orsa::test
