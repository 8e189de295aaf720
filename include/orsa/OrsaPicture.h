#pragma once

#include <cstdint>

#include "orsa/OrsaExport.h"

// One presented picture: RGBA rows from top to bottom. The bytes are valid only during the
// sink call that receives them.
struct ORSA_EXPORT OrsaPicture {
  const uint8_t* rgba = nullptr;
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;            // bytes from one row to the next
  int64_t presentationTime = 0;  // milliseconds on the steady clock
  // The frame it shows, as its intake numbered and stamped it (0 when it did not).
  uint64_t sequence = 0;
  int64_t receiveTime = 0;
};
