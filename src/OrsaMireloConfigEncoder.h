#pragma once

#include <string>

#include "orsa/OrsaMireloConfig.h"

// The inverse of OrsaMireloConfigDecoder: base64 of the JSON object a host would pass to start.
// Absent fields are left out of the JSON; an absent stream list leaves out "Streams".
class OrsaMireloConfigEncoder {
 public:
  static std::string encode(const OrsaMireloConfig& config);
};
