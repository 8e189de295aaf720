#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "support/TestSupport.h"
#include "support/ZipWriter.h"
#include "utils/zip/VZZipArchive.h"

namespace orsa::test {

inline ZipEntry entry(std::string name, std::string data, ZipHost host = ZipHost::Unix) {
  ZipEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.host = host;
  return e;
}

// <root>/dest is the destination, <root>/outside a sibling that must stay untouched.
struct ZipScratch {
  TempDir tmp;
  std::filesystem::path root = tmp.path(), zip = root / "archive.zip", dest = root / "dest";
  std::filesystem::path outside = root / "outside";
  ZipScratch() {
    std::filesystem::create_directories(outside);
    writeFile(outside / "keep.txt", "untouched");
  }
  // Every path outside the destination with its kind and size: any stray write shows.
  std::set<std::string> snapshot() const {
    std::set<std::string> out;
    struct stat st;
    for (auto& e : std::filesystem::recursive_directory_iterator(root))
      if ((e.path() / "").string().rfind((dest / "").string(), 0) != 0 &&
          ::lstat(e.path().c_str(), &st) == 0)
        out.insert(e.path().string() + " " + std::to_string(st.st_mode) + " " +
                   std::to_string(S_ISDIR(st.st_mode) ? 0 : st.st_size));
    return out;
  }
  // Unpacks with the given options (by default those of package preparation) and checks
  // that nothing outside the destination changed.
  bool unzip(orsa::platform::Error* err, bool overwrite = true, std::string password = "",
             bool confined = true, int nested = 0) const {
    auto before = snapshot();
    bool ok = VZZipArchive::unzipFileAtPath(
        zip.string(), dest.string(), true, overwrite,
        confined ? std::optional<std::string>(dest.string()) : std::nullopt, nested, password, err,
        nullptr, nullptr, nullptr);
    EXPECT_EQ(before, snapshot()) << "something changed outside the destination";
    return ok;
  }
};

}  // namespace orsa::test
