#include "orsa/OrsaClock.h"

#include "platform/Clock.h"

int64_t currentMillis() {
  return orsa::platform::currentMillis();
}

void sleepUntil(int64_t deadlineMillis) {
  orsa::platform::sleepUntil(deadlineMillis);
}
