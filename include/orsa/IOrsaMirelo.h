#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaMireloDelegate.h"
#include "orsa/OrsaView.h"
#include "orsa/QMXVideoFrameParam.h"

// The engine as a host sees it. start, attach and stop belong on the host's main thread; the
// two intake calls on the RTC library's callback thread. Nothing here throws; failures reach
// the host through the delegate.
class ORSA_EXPORT IOrsaMirelo {
 public:
  virtual ~IOrsaMirelo() = default;

  // Decodes the base64 start configuration and starts the runtime its stream calls for. A
  // refused start is reported through delegate->onError before this returns. The delegate is
  // held weakly and may be null.
  virtual void start(const std::string& config,
                     const std::shared_ptr<OrsaMireloDelegate>& delegate) = 0;
  // The view to draw into; held weakly and kept across stop and start. May come before or after
  // start, also after the package was prepared. A "mobile" stream draws only into an
  // OrsaPreviewView; any other stream puts one inside a view of the host's own. A view that
  // cannot draw, or was stopped, is reported through delegate->onError.
  virtual void attach(const std::shared_ptr<OrsaView>& view) = 0;
  // One decoded remote frame: plane pointers and byte counts (only plane 0, 4-byte BGRA, is
  // read), the frame's parameters and its stream id. Everything kept is copied before the
  // call returns.
  virtual void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                         std::span<const uint32_t> dataLength,
                                         const QMXVideoFrameParam& param,
                                         const std::string& streamID) = 0;
  // One SEI payload, still with its emulation-prevention bytes, delivered before its frame.
  virtual void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) = 0;
  // Destroys the runtime and stops the attached view; the engine can be started again
  // afterwards, with a new view attached (a stopped view does not draw again).
  virtual void stop() = 0;
};

class ORSA_EXPORT OrsaMireloFactory {
 public:
  // A new engine, not started.
  static std::shared_ptr<IOrsaMirelo> create();
};
