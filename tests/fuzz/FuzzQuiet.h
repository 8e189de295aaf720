#pragma once

// Included by every fuzz target. Hostile input makes the library log a line for almost every
// run, so the console echo stays off (the log files still record everything); the runner
// points ORSA_HOME at a folder of its own so those files stay out of the user's home.
#include "platform/Console.h"

namespace {
const bool kFuzzConsoleOff = (orsa::platform::consoleSetEnabled(false), true);
}  // namespace
