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
  int64_t remaining = deadlineMillis - currentMillis();
  if (remaining >= 1) std::this_thread::sleep_for(std::chrono::milliseconds(remaining));
}

}  // namespace orsa::platform
