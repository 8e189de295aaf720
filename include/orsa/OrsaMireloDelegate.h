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

  // Something the host must act on; `code` is one of the kOrsaError values of OrsaConstants.h and
  // `errorMsg` names the cause.
  // - A refused start, synchronously inside start(): kOrsaErrorConfigDecode "config decode
  //   error" or kOrsaErrorStartDuplicated "start duplicated, call stop first".
  // - kOrsaErrorResource: the package could not be downloaded or prepared. Once per start, on
  //   the main queue.
  // - kOrsaErrorViewCannotDraw: the attached view can never show a picture (no GL ES 3 context,
  //   no shader library, a mask that does not load). Once per view, on the main queue.
  // - kOrsaErrorViewStopped: the view attached (or kept from before a stop) was stopped and will
  //   not draw again; attach a new one. On the main queue.
  virtual void onError(int32_t /*code*/, const std::string& /*errorMsg*/) {}
  // The engine has started (sent by the runtime that does not composite), on the main queue.
  virtual void onMireloStartSuccess() {}
  // The attached view presented its first picture: a draw that could show nothing (no mask
  // yet, no pipeline) does not count. On the main queue for a "mobile" stream, on the drawing
  // thread otherwise.
  virtual void onSurfaceFirstFrameDraw() {}
};
