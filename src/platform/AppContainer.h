#pragma once

#include <string>

namespace orsa::platform {

// The application's home on this host. Every path the library uses is made from it, so a
// host (or a test) moves the whole state by pointing the root somewhere else.
//
// Root: the value given to setRoot, else $ORSA_HOME, else $XDG_DATA_HOME/orsa-mirelo, else
// $HOME/.local/share/orsa-mirelo.
class AppContainer {
 public:
  // Replaces the root for the rest of the process (the folders are made on first use).
  static void setRoot(const std::string& root);
  static std::string home();
  static std::string cachesDirectory();       // <home>/Library/Caches
  static std::string preferencesDirectory();  // <home>/Library/Preferences
  static std::string documentsDirectory();    // <home>/Documents
  static std::string temporaryDirectory();    // <home>/tmp
};

}  // namespace orsa::platform
