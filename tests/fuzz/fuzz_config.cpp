// Start-configuration decoder: arbitrary strings, and arbitrary JSON texts wrapped in valid
// base64 so the fuzzer reaches the JSON and validity stages too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "OrsaMireloConfigDecoder.h"
#include "OrsaMireloConfigEncoder.h"
#include "platform/OrsaBase64.h"

#include "FuzzQuiet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string text = (data[0] & 1) ? OrsaBase64::encode(input) : input;
  std::string error;
  auto config = OrsaMireloConfigDecoder::decode(text, &error);
  if (config) {
    if (!config->isValid() || !config->getFitStream() || !error.empty()) std::abort();
    // What decodes must survive a round trip unchanged.
    auto again = OrsaMireloConfigDecoder::decode(OrsaMireloConfigEncoder::encode(*config));
    if (!again || again->string() != config->string()) std::abort();
  } else if (error.rfind("decode error, ", 0) != 0) {
    std::abort();
  }
  return 0;
}
