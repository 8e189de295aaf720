#pragma once

#include <string>

namespace orsa::platform {

// Facts about the host application and its device that the library cannot find out itself,
// set by the host. Unset values read as the defaults below.
struct HostInfoValues {
  std::string bundleIdentifier;  // "" when the host gives none
  std::string shortVersion;      // the host application's version; "" when unknown
  std::string systemVersion;     // default: the kernel release (uname)
  double screenScale = 1.0;
};

class HostInfo {
 public:
  static HostInfoValues get();
  static void set(const HostInfoValues& values);
  static void setShortVersion(const std::string& version);
  static void setBundleIdentifier(const std::string& identifier);
  static void setScreenScale(double scale);
};

}  // namespace orsa::platform
