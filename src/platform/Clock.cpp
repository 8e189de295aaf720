#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace orsa::platform {

int64_t currentMillis() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::steady_clock::now().time_since_epoch())
                .count();
  return static_cast<int64_t>(ns / 1000000);
}

void sleepUntil(int64_t deadlineMillis) {
  const int64_t now = currentMillis();
  // Compared before subtracting: a deadline far in the past must not wrap into a long sleep.
  if (deadlineMillis <= now) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(deadlineMillis - now));
}

}  // namespace orsa::platform
