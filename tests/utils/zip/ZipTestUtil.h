#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/TestSupport.h"
#include "support/ZipWriter.h"
#include "utils/zip/VZZipArchive.h"

namespace orsa::test {

// Every path below `root` (links not followed) except those inside `skip`, with kind and
// size, so a comparison before and after an unpacking shows any stray write.
inline std::set<std::string> listTree(const std::filesystem::path& root,
                                      const std::filesystem::path& skip = {}) {
  namespace fs = std::filesystem;
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const auto& p = it->path();
    if (!skip.empty() && (p == skip || p.string().rfind(skip.string() + "/", 0) == 0)) {
      if (p == skip) it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    out.insert(fs::relative(p, root).string() + " mode=" + std::to_string(st.st_mode) +
               " size=" + std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size));
  }
  return out;
}

// A scratch area: <root>/dest is the destination, <root>/outside a sibling that must stay
// untouched.
struct ZipScratch {
  TempDir tmp;
  std::filesystem::path root = tmp.path();
  std::filesystem::path zip = root / "archive.zip";
  std::filesystem::path dest = root / "dest";
  std::filesystem::path outside = root / "outside";
  ZipScratch() {
    std::filesystem::create_directories(outside);
    writeFile(outside / "keep.txt", "untouched");
  }
  std::set<std::string> snapshot() const { return listTree(root, dest); }
};

inline bool isSymlink(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_symlink(std::filesystem::symlink_status(p, ec));
}

}  // namespace orsa::test
