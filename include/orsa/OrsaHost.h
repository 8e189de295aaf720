#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "orsa/OrsaExport.h"

// How much of the library's log is echoed on standard error. Every line always reaches the log
// files (Library/Caches under the home directory); standard output is never written.
enum class OrsaLogLevel : int32_t {
  Debug = 1,
  Info = 2,
  Warning = 3,  // the default: failures and warnings only
  Error = 4,
  Off = 6,
};

// What a host tells the engine about itself, before the first start.
class ORSA_EXPORT OrsaHost {
 public:
  // The application container (caches, preferences, logs, temporary files). Default: ORSA_HOME,
  // else $XDG_DATA_HOME/orsa-mirelo.
  static void setHomeDirectory(const std::string& path);
  static void setBundleIdentifier(const std::string& identifier);
  static void setShortVersion(const std::string& version);
  // Pixels per point of the host's screen: the contents scale of new preview views.
  static void setScreenScale(double scale);
  // The folder holding the library's data (OrsaDigitalHumanShader.glsl). Needed only when the
  // installation was split up: by default the data is found in share/orsa-mirelo of the
  // prefix the library was loaded from. The ORSA_RESOURCE_DIR environment variable, when set,
  // is looked at first.
  static void setResourceDirectory(const std::string& path);
  // Any thread, any time.
  static void setConsoleLogLevel(OrsaLogLevel level);

  // The application's life, as the download classes react to it. Call on the main thread.
  // Before the process ends: every download is paused with its resume data (drain the main
  // loop for a moment afterwards so the data is stored).
  static void applicationWillTerminate();
  static void applicationDidBecomeActive();
  static void applicationWillResignActive();

  // Where the engine keeps the resource package of a start configuration (the text start()
  // takes): in <home>/tmp, named by the whole package URL. A host that already has the package
  // may place it there, whole (copied under another name, then renamed), and the engine will
  // not download it. Empty when the configuration cannot be read. Any thread.
  static std::string packagePath(const std::string& startConfiguration);
};

// The engine's main queue. Delegate callbacks, the start of package preparation and its
// results run on it, so the host's main thread must drain it: with run() for a program of its
// own, or by calling poll() from the host's own event loop. run() returns only when the host
// calls stop() (from any thread, a delegate callback included); the engine never ends it.
class ORSA_EXPORT OrsaMainLoop {
 public:
  // Drains the queue until stop().
  static void run();
  static void stop();
  // Runs what is ready without blocking; returns how many tasks ran.
  static size_t poll();
  // Drains the queue for at most `duration`.
  static size_t runFor(std::chrono::milliseconds duration);
};
