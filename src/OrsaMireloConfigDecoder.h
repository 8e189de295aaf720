#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "orsa/OrsaMireloConfig.h"

// Turns the host's start configuration (base64 of a UTF-8 JSON object) into a configuration.
class OrsaMireloConfigDecoder {
 public:
  // Limits past which the JSON text counts as unparsable. A real start configuration is a few
  // hundred bytes, three levels deep.
  static constexpr size_t kMaxJsonBytes = 1024 * 1024;
  static constexpr int kMaxJsonDepth = 64;

  // Null for a configuration that is empty, not base64, not UTF-8, not JSON or not valid; the
  // reason is logged and, when `error` is given, stored there (the text of the error line).
  // Never throws. A null `config` counts as empty.
  static std::shared_ptr<OrsaMireloConfig> decode(const char* config, std::string* error = nullptr);
  static std::shared_ptr<OrsaMireloConfig> decode(std::string_view config,
                                                  std::string* error = nullptr);
};
