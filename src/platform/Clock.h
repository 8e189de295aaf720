#pragma once

#include <cstdint>

namespace orsa::platform {

// Monotonic milliseconds (steady clock nanoseconds / 1,000,000, truncated). Every interval
// in the library is measured with this; wall-clock time never is.
int64_t currentMillis();

// Sleeps the calling thread until currentMillis() reaches deadlineMillis; returns at once
// when less than 1 ms remains.
void sleepUntil(int64_t deadlineMillis);

}  // namespace orsa::platform
