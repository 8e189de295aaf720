#include "orsa/OrsaHost.h"

#include "OrsaMireloConfigDecoder.h"
#include "OrsaROIRuntime.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/HostInfo.h"
#include "platform/NotificationCenter.h"

void OrsaHost::setHomeDirectory(const std::string& path) {
  orsa::platform::AppContainer::setRoot(path);
}

void OrsaHost::setBundleIdentifier(const std::string& identifier) {
  orsa::platform::HostInfo::setBundleIdentifier(identifier);
}

void OrsaHost::setShortVersion(const std::string& version) {
  orsa::platform::HostInfo::setShortVersion(version);
}

void OrsaHost::setScreenScale(double scale) {
  orsa::platform::HostInfo::setScreenScale(scale);
}

void OrsaHost::setResourceDirectory(const std::string& path) {
  orsa::platform::HostInfo::setResourceDirectory(path);
}

void OrsaHost::setConsoleLogLevel(OrsaLogLevel level) {
  orsa::platform::consoleSetLevel(static_cast<int>(level));
}

void OrsaHost::applicationWillTerminate() {
  orsa::platform::NotificationCenter::defaultCenter().post(orsa::platform::kWillTerminate);
}

void OrsaHost::applicationDidBecomeActive() {
  orsa::platform::NotificationCenter::defaultCenter().post(orsa::platform::kDidBecomeActive);
}

void OrsaHost::applicationWillResignActive() {
  orsa::platform::NotificationCenter::defaultCenter().post(orsa::platform::kWillResignActive);
}

void OrsaMainLoop::run() {
  orsa::platform::MainLoop::run();
}

void OrsaMainLoop::stop() {
  orsa::platform::MainLoop::stop();
}

size_t OrsaMainLoop::poll() {
  return orsa::platform::MainLoop::poll();
}

size_t OrsaMainLoop::runFor(std::chrono::milliseconds duration) {
  return orsa::platform::MainLoop::runFor(duration);
}

std::string OrsaHost::packagePath(const std::string& startConfiguration) {
  auto config = OrsaMireloConfigDecoder::decode(std::string_view(startConfiguration));
  return config ? OrsaROIRuntime::localPackagePath(*config) : std::string();
}
