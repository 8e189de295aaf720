// Unpacks arbitrary bytes as an archive and checks that nothing landed outside the
// destination and that no link created there leads out of it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Utf8.h"
#include "utils/zip/VZZipArchive.h"

#include "FuzzQuiet.h"

namespace fs = std::filesystem;

namespace {

struct Sandbox {
  fs::path root;
  fs::path archive;
  fs::path dest;
  fs::path outside;
  Sandbox() {
    char tmpl[] = "/tmp/fuzz-unzip-XXXXXX";
    root = ::mkdtemp(tmpl);
    archive = root / "in.zip";
    dest = root / "dest";
    outside = root / "outside";
    fs::create_directories(outside);
    FILE* f = std::fopen((outside / "keep").c_str(), "wb");
    std::fputs("keep", f);
    std::fclose(f);
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Sandbox& sandbox() {
  static Sandbox s;
  return s;
}

bool within(const fs::path& p, const fs::path& root) {
  auto rel = p.lexically_relative(root);
  return !rel.empty() && *rel.begin() != "..";
}

void check(const Sandbox& s) {
  std::error_code ec;
  // Only the archive, the destination and the untouched sibling may exist at the top.
  for (const auto& e : fs::directory_iterator(s.root)) {
    auto n = e.path().filename().string();
    if (n != "in.zip" && n != "dest" && n != "outside") {
      std::fprintf(stderr, "stray entry %s\n", e.path().c_str());
      std::abort();
    }
  }
  size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(s.outside)) {
    (void)e;
    ++count;
  }
  if (count != 1 || fs::file_size(s.outside / "keep") != 4) {
    std::fprintf(stderr, "sibling changed\n");
    std::abort();
  }
  if (!fs::exists(s.dest)) return;
  const fs::path realDest = fs::canonical(s.dest);
  for (auto it = fs::recursive_directory_iterator(s.dest, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink(ec)) continue;
    fs::path target = fs::read_symlink(it->path(), ec);
    fs::path resolved =
        fs::weakly_canonical(target.is_absolute() ? target : it->path().parent_path() / target, ec);
    if (!ec && !within(resolved, realDest) && resolved != realDest) {
      std::fprintf(stderr, "link %s leads out to %s\n", it->path().c_str(), resolved.c_str());
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sandbox& s = sandbox();
  std::error_code ec;
  fs::remove_all(s.dest, ec);
  int fd = ::open(s.archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 0;
  size_t off = 0;
  while (off < size) {
    ssize_t n = ::write(fd, data + off, size - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  ::close(fd);
  orsa::platform::Error err;
  // Whatever bytes and flags the names carry, they come out as UTF-8.
  if (auto entries = VZZipArchive::entriesOfArchiveAtPath(s.archive.string(), &err)) {
    for (const auto& e : *entries)
      if (!orsa::platform::isValidUtf8(e.name)) {
        std::fprintf(stderr, "entry name is not UTF-8\n");
        std::abort();
      }
  }
  VZZipArchive::unzipFileAtPath(s.archive.string(), s.dest.string(), true, "", &err);
  check(s);
  // A second pass over what is already there exercises overwriting, links on disk and
  // nested archives.
  VZZipArchive::unzipFileAtPath(s.archive.string(), s.dest.string(), true, true, 1, "pw", &err,
                                nullptr, nullptr, nullptr);
  check(s);
  return 0;
}
