#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "orsa/OrsaMireloConfig.h"
#include "orsa/OrsaMireloDelegate.h"
#include "orsa/OrsaView.h"
#include "orsa/QMXVideoFrameParam.h"

// What the engine facade creates on a successful start and forwards everything to.
class IOrsaMireloRuntime {
 public:
  virtual ~IOrsaMireloRuntime() = default;

  // Called once, right after construction, on the main thread. The delegate is held weakly.
  virtual void initWithConfig(std::shared_ptr<OrsaMireloConfig> config,
                              std::weak_ptr<OrsaMireloDelegate> delegate) = 0;
  // Main thread. `view` may be null.
  virtual void attach(const std::shared_ptr<OrsaView>& view) = 0;
  // The host's RTC thread, synchronously; the pointed-to bytes live only for the call. May
  // still arrive while (or shortly after) destroy() runs on the main thread.
  virtual void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                         std::span<const uint32_t> dataLength,
                                         const QMXVideoFrameParam& param,
                                         const std::string& streamID) = 0;
  virtual void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) = 0;
  // Main thread; the facade's stop.
  virtual void destroy() = 0;
};
