#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "orsa/OrsaExport.h"

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

  // The application's life, as the download classes react to it. Call on the main thread.
  // Before the process ends: every download is paused with its resume data (drain the main
  // loop for a moment afterwards so the data is stored).
  static void applicationWillTerminate();
  static void applicationDidBecomeActive();
  static void applicationWillResignActive();
};

// The engine's main queue. Delegate callbacks, the start of package preparation and its
// results run on it, so the host's main thread must drain it: with run() for a program of its
// own, or by calling poll() from the host's own event loop.
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
