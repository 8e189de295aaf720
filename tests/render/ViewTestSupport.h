#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "orsa/OrsaPreviewView.h"

namespace orsa::test {

template <typename P>
void waitFor(P done) {
  using namespace std::chrono_literals;
  for (auto end = std::chrono::steady_clock::now() + 5s; !done();) {
    ASSERT_LT(std::chrono::steady_clock::now(), end);
    std::this_thread::sleep_for(1ms);
  }
}

// Ends the consumer before the view and the process go away under it.
inline void finish(OrsaPreviewView& view) {
  using namespace std::chrono_literals;
  ASSERT_TRUE(view.stopAndWait(5s));
}

}  // namespace orsa::test
