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
  // Written with mode 0600: the requests in it may carry credentials.
  static bool write(const std::string& path, const Contents& contents);

  // One process at a time owns an identifier's transfers: the advisory lock (flock) on
  // "<name>.lock" beside the journal says which. Once taken, the lock stays with the process
  // until it ends, so a session rebuilt later in this process never finds it taken in between.
  enum class Claim {
    Held,         // this process holds it, now or since before
    InUse,        // another process holds it
    Unavailable,  // the lock file cannot be made (nor, then, the journal)
  };
  static std::string lockPathFor(const std::string& journalPath);
  // The journal's folder must exist (ensureFolder).
  static Claim claim(const std::string& journalPath);
};

}  // namespace orsa::platform
