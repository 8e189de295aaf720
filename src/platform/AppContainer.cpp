#include "platform/AppContainer.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace orsa::platform {
namespace {

std::mutex& rootMutex() {
  static std::mutex m;
  return m;
}

std::string& explicitRoot() {
  static std::string root;
  return root;
}

std::string defaultRoot() {
  if (const char* v = std::getenv("ORSA_HOME"); v && *v) return v;
  if (const char* v = std::getenv("XDG_DATA_HOME"); v && *v) return std::string(v) + "/orsa-mirelo";
  if (const char* v = std::getenv("HOME"); v && *v)
    return std::string(v) + "/.local/share/orsa-mirelo";
  return std::filesystem::temp_directory_path().string() + "/orsa-mirelo";
}

std::string ensured(std::string path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);  // a failure shows up where the path is used
  return path;
}

}  // namespace

void AppContainer::setRoot(const std::string& root) {
  std::lock_guard lock(rootMutex());
  explicitRoot() = root;
}

std::string AppContainer::home() {
  std::string root;
  {
    std::lock_guard lock(rootMutex());
    root = explicitRoot();
  }
  if (root.empty()) root = defaultRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::string AppContainer::cachesDirectory() {
  return ensured(home() + "/Library/Caches");
}
std::string AppContainer::preferencesDirectory() {
  return ensured(home() + "/Library/Preferences");
}
std::string AppContainer::documentsDirectory() {
  return ensured(home() + "/Documents");
}
std::string AppContainer::temporaryDirectory() {
  return ensured(home() + "/tmp");
}

}  // namespace orsa::platform
