#pragma once

#include <cstdint>

#include "orsa/OrsaExport.h"

// The clock every interval of the engine is measured with: the monotonic clock in whole
// milliseconds (nanoseconds / 1,000,000, truncated). Wall-clock time is never used.
ORSA_EXPORT int64_t currentMillis();

// Sleeps the calling thread until currentMillis() reaches the deadline; returns at once when
// less than 1 ms remains.
ORSA_EXPORT void sleepUntil(int64_t deadlineMillis);
