#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "orsa/OrsaPreviewView.h"

namespace orsa::test {

// Ends the consumer before the view and the process go away under it.
inline void finish(OrsaPreviewView& view) {
  using namespace std::chrono_literals;
  ASSERT_TRUE(view.stopAndWait(5s));
}

}  // namespace orsa::test
