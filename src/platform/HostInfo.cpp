#include "platform/HostInfo.h"

#include <sys/utsname.h>

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

}  // namespace orsa::platform
