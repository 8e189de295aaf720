#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orsa::platform {

// Facts about the host application and its device that the library cannot find out itself,
// set by the host. Unset values read as the defaults below.
struct HostInfoValues {
  std::string bundleIdentifier;  // "" when the host gives none
  std::string shortVersion;      // the host application's version; "" when unknown
  std::string systemVersion;     // default: the kernel release (uname)
  double screenScale = 1.0;
  std::string resourceDirectory;  // the host's choice of the library's data; "" for none
};

class HostInfo {
 public:
  static HostInfoValues get();
  static void set(const HostInfoValues& values);
  static void setShortVersion(const std::string& version);
  static void setBundleIdentifier(const std::string& identifier);
  static void setScreenScale(double scale);
  static void setResourceDirectory(const std::string& path);

  // Where the library's own data files (the shader library) are looked for, in order:
  // ORSA_RESOURCE_DIR, the host's resource directory, the data folder of the installation the
  // library was loaded from (found from the library's own file, so a moved prefix still works),
  // the configured installation folder, and the source tree when running from the build.
  static std::vector<std::string> resourceDirectories();
  // The first of those folders that holds `name`.
  static std::optional<std::string> findResource(const std::string& name);
};

}  // namespace orsa::platform
