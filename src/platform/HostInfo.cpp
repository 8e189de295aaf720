#include "platform/HostInfo.h"

#include <dlfcn.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace orsa::platform {
namespace {

std::mutex& infoMutex() {
  static std::mutex m;
  return m;
}

HostInfoValues& info() {
  static HostInfoValues v = [] {
    HostInfoValues d;
    struct utsname u {};
    if (uname(&u) == 0) d.systemVersion = u.release;
    return d;
  }();
  return v;
}

}  // namespace

HostInfoValues HostInfo::get() {
  std::lock_guard lock(infoMutex());
  return info();
}

void HostInfo::set(const HostInfoValues& values) {
  std::lock_guard lock(infoMutex());
  info() = values;
}

void HostInfo::setShortVersion(const std::string& version) {
  std::lock_guard lock(infoMutex());
  info().shortVersion = version;
}

void HostInfo::setBundleIdentifier(const std::string& identifier) {
  std::lock_guard lock(infoMutex());
  info().bundleIdentifier = identifier;
}

void HostInfo::setScreenScale(double scale) {
  std::lock_guard lock(infoMutex());
  info().screenScale = scale;
}

void HostInfo::setResourceDirectory(const std::string& path) {
  std::lock_guard lock(infoMutex());
  info().resourceDirectory = path;
}

namespace {

// The file this code was loaded from: the shared library, or the program it is linked into.
std::optional<std::filesystem::path> loadedFrom() {
  Dl_info dl{};
  if (dladdr(reinterpret_cast<void*>(&HostInfo::resourceDirectories), &dl) == 0 || !dl.dli_fname ||
      !*dl.dli_fname)
    return std::nullopt;
  std::error_code ec;
  auto path = std::filesystem::canonical(dl.dli_fname, ec);
  if (ec) return std::nullopt;
  return path;
}

bool isInside(const std::filesystem::path& file, const std::filesystem::path& dir) {
  std::error_code ec;
  const auto base = std::filesystem::weakly_canonical(dir, ec);
  if (ec) return false;
  auto f = file.begin();
  for (auto d = base.begin(); d != base.end(); ++d, ++f) {
    if (f == file.end() || *f != *d) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> HostInfo::resourceDirectories() {
  std::vector<std::string> dirs;
  if (const char* dir = std::getenv("ORSA_RESOURCE_DIR"); dir && *dir) dirs.push_back(dir);
  if (auto chosen = get().resourceDirectory; !chosen.empty()) dirs.push_back(chosen);
  const auto file = loadedFrom();
  if (file)
    dirs.push_back((file->parent_path() / ORSA_RESOURCE_RELATIVE_DIR).lexically_normal().string());
  dirs.push_back(ORSA_INSTALL_RESOURCE_DIR);
  // Only a library or program still in its build tree looks into the sources: an installed
  // copy must stand on its own, whether or not the tree it came from is still there.
  if (file && isInside(*file, ORSA_BUILD_DIR)) dirs.push_back(ORSA_BUILD_RESOURCE_DIR);
  return dirs;
}

std::optional<std::string> HostInfo::findResource(const std::string& name) {
  std::error_code ec;
  for (const auto& dir : resourceDirectories()) {
    auto path = std::filesystem::path(dir) / name;
    if (std::filesystem::is_regular_file(path, ec)) return path.string();
  }
  return std::nullopt;
}

}  // namespace orsa::platform
