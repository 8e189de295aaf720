#pragma once

#include <cstdint>
#include <string>

#include "orsa/OrsaExport.h"

// What the engine tells its host. Every method has an empty default body, so a host overrides
// only the ones it needs. The engine holds the delegate weakly (std::weak_ptr): keep it alive
// for as long as you want callbacks.
class ORSA_EXPORT OrsaMireloDelegate {
 public:
  virtual ~OrsaMireloDelegate() = default;

  // A start was refused: -200000 "config decode error" or -200006 "start duplicated, call stop
  // first". Called synchronously inside start().
  virtual void onError(int32_t code, const std::string& errorMsg) {}
  // The engine has started (sent by the runtime that does not composite), on the main queue.
  virtual void onMireloStartSuccess() {}
  // The attached view drew its first frame.
  virtual void onSurfaceFirstFrameDraw() {}
};
