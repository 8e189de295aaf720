#pragma once

#include <string_view>

namespace orsa::platform {

// The system console of this host: standard error. One line per call, never interleaved
// within a line.
void consoleWrite(std::string_view line);

}  // namespace orsa::platform
