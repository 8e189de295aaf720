#include "download/TRDownloadUtils.h"

#include <fmt/printf.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <cmath>
#include <filesystem>

#include "platform/AppContainer.h"
#include "platform/Digest.h"

std::string TRDownloadUtils::md5ForString(std::string_view text) {
  return orsa::platform::Digest::md5Hex(text);
}

std::string TRDownloadUtils::fileSizeStringFromBytes(int64_t b) {
  if (b < 1024) return fmt::sprintf("%luB", static_cast<uint64_t>(b));
  if (b < 1048576) return numberStringFromDouble(b / 1024.0) + "KB";
  if (b < 1073741824) return numberStringFromDouble(b / 1048576.0) + "MB";
  return numberStringFromDouble(b / 1073741824.0) + "GB";
}

std::string TRDownloadUtils::numberStringFromDouble(double x) {
  double whole = 0;
  const double f = std::round(std::modf(x, &whole) * 100);  // halves away from zero
  if (std::fmod(f, 10) == 0) return fmt::sprintf(f == 0 ? "%.0f" : "%.1f", x);
  return fmt::sprintf("%.2f", x);
}

uint64_t TRDownloadUtils::fileSystemFreeSize() {
  struct statvfs st;
  if (::statvfs(orsa::platform::AppContainer::documentsDirectory().c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

int64_t TRDownloadUtils::fileSizeWithPath(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

bool TRDownloadUtils::createPathIfNotExist(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

std::string TRDownloadUtils::urlStrWithDownloadTask(std::string_view originalRequestURL,
                                                    std::string_view currentRequestURL) {
  return std::string(originalRequestURL.empty() ? currentRequestURL : originalRequestURL);
}

uint64_t TRDownloadUtils::sec_timestamp() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

TRDBValue TRDownloadUtils::valueOf(const std::string& text) {
  return text.empty() ? TRDBValue{} : TRDBValue{text};
}

TRDBValue TRDownloadUtils::valueOf(const std::vector<uint8_t>& bytes) {
  return bytes.empty() ? TRDBValue{} : TRDBValue{bytes};
}

std::string TRDownloadUtils::textOf(const TRDBValue& value) {
  if (auto* s = std::get_if<std::string>(&value)) return *s;
  if (auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&value)) return fmt::format("{}", *d);
  return {};
}

int64_t TRDownloadUtils::integerOf(const TRDBValue& value) {
  if (auto* i = std::get_if<int64_t>(&value)) return *i;
  // Out-of-range reals (a hostile file) would make the conversion undefined.
  if (auto* d = std::get_if<double>(&value))
    return std::fabs(*d) < 9.2e18 ? static_cast<int64_t>(*d) : 0;
  return 0;
}

double TRDownloadUtils::doubleOf(const TRDBValue& value) {
  if (auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  if (auto* d = std::get_if<double>(&value)) return *d;
  return 0;
}

std::vector<uint8_t> TRDownloadUtils::bytesOf(const TRDBValue& value) {
  if (auto* b = std::get_if<std::vector<uint8_t>>(&value)) return *b;
  return {};
}

bool TRDownloadUtils::isSafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  return true;
}

bool TRDownloadUtils::isInside(const std::string& root, const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path file(path);
  const std::string name = file.filename().string();
  if (root.empty() || name.empty() || name == "." || name == "..") return false;
  std::error_code ec;
  // The entry itself is not followed: a link inside the folder is the folder's to delete,
  // wherever it points.
  const fs::path parent = fs::weakly_canonical(file.parent_path(), ec);
  if (ec) return false;
  const fs::path base = fs::weakly_canonical(root, ec);
  if (ec) return false;
  const fs::path full = parent / name;
  auto b = base.begin(), f = full.begin();
  for (; b != base.end() && !b->empty(); ++b, ++f)
    if (f == full.end() || *f != *b) return false;
  return f != full.end();
}

bool TRDownloadUtils::removeInside(const std::string& root, const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return true;
  if (!isInside(root, path)) return false;
  fs::remove(path, ec);
  return !ec;
}
