#pragma once

#include <memory>
#include <mutex>

#include "IOrsaMireloRuntime.h"
#include "orsa/OrsaPreviewView.h"
#include "render/OrsaFrameData.h"

// The runtime of every stream that is not "mobile": the received video is the whole picture,
// so nothing is composited. It provides a preview view, keeps the last SEI record, reports the
// start as successful after half a second and passes the view's first frame on.
class OrsaNormalRuntime : public IOrsaMireloRuntime,
                          public std::enable_shared_from_this<OrsaNormalRuntime> {
  struct Key {};

 public:
  static std::shared_ptr<OrsaNormalRuntime> create();
  explicit OrsaNormalRuntime(Key) {}

  void initWithConfig(std::shared_ptr<OrsaMireloConfig> config,
                      std::weak_ptr<OrsaMireloDelegate> delegate) override;
  void attach(const std::shared_ptr<OrsaView>& view) override;
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param,
                                 const std::string& streamID) override {}
  void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) override;
  void destroy() override;

  // The view frames are drawn with: the attached one, or the one made inside it.
  std::shared_ptr<OrsaPreviewView> orsaPreviewView() const;

 private:
  std::shared_ptr<OrsaMireloDelegate> delegate() const;
  // On the main queue, while a delegate is set.
  void reportError(int32_t code, const std::string& message);

  mutable std::mutex mutex_;
  std::weak_ptr<OrsaMireloDelegate> delegate_;
  std::shared_ptr<OrsaMireloConfig> config_;
  std::weak_ptr<OrsaView> previewView_;
  std::weak_ptr<OrsaPreviewView> orsaPreviewView_;
  bool ownPreviewView_ = false;  // made by attach inside the host's view
  // Written by the RTC thread only.
  OrsaFrameData frameData_;
};
