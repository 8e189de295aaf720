#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/UrlSessionResume.h"

namespace orsa::platform {

// A background session's in-flight download transfers on disk, so the next session with the
// same identifier (in this process or a later one) finds them again. One XML property list per
// identifier under <home>/Library/OrsaTransfers: {"NextTaskIdentifier": N, "Transfers": [entry,
// ...]}, each entry being the transfer's resume-data map plus its task identifier. Replaced
// atomically, so a reader sees one whole version or the one before.
class TransferJournal {
 public:
  struct Contents {
    uint64_t nextTaskIdentifier = 1;
    std::vector<UrlSessionResume> transfers;
  };

  static std::string pathFor(const std::string& identifier);
  // Empty contents when there is no journal or it cannot be read.
  static Contents load(const std::string& path);
  // Kept also when nothing is in flight: the identifier counter carries on from it. The folder
  // is made by the session once (ensureFolder): a session outliving its container must not
  // bring the container back.
  static bool ensureFolder(const std::string& path);
  static bool write(const std::string& path, const Contents& contents);
};

}  // namespace orsa::platform
