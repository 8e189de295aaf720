#include "orsa/OrsaClock.h"

#include "platform/Clock.h"

int64_t currentMillis() {
  return orsa::platform::currentMillis();
}

void sleepUntil(int64_t deadlineMillis) {
  // Compared before subtracting: "deadline - now" overflows for deadlines far in the past
  // (INT64_MIN as "no deadline"), and the wrapped value would be a sleep of centuries.
  if (deadlineMillis <= orsa::platform::currentMillis()) return;
  orsa::platform::sleepUntil(deadlineMillis);
}
