#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "IOrsaMireloRuntime.h"
#include "orsa/IOrsaMirelo.h"

// The engine facade: decodes the start configuration, creates the runtime its fit stream calls
// for and forwards everything else to it.
//
// The intake calls run on the host's RTC thread while stop may run on the main thread. Each
// intake call therefore takes its own reference to the runtime (a copy made under a small
// lock), so a runtime that stop() drops stays alive until the call that is using it returns.
// No lock is held while the runtime or the delegate is called, so either may call back into
// the facade.
class OrsaMireloImpl : public IOrsaMirelo {
 public:
  OrsaMireloImpl();
  ~OrsaMireloImpl() override;

  void start(const std::string& config,
             const std::shared_ptr<OrsaMireloDelegate>& delegate) override;
  void attach(const std::shared_ptr<OrsaView>& view) override;
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param,
                                 const std::string& streamID) override;
  void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) override;
  void stop() override;

  std::shared_ptr<IOrsaMireloRuntime> currentRuntime() const;
  std::shared_ptr<OrsaView> previewView() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<IOrsaMireloRuntime> currentRuntime_;
  std::weak_ptr<OrsaView> previewView_;
};
