#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "IOrsaMireloRuntime.h"
#include "orsa/OrsaConstants.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "render/OrsaFrameData.h"
#include "utils/ResourceManager.h"

// The runtime of a "mobile" stream: the received video carries only the head. The package is
// prepared into a local frame store; every frame is paired with the SEI record received just
// before it, gets the background frame the record names and goes to the preview view.
//
// Create it with create(): tasks hold it weakly, except the preparation wait, which holds it
// until preparation ends or destroy() releases the wait.
class TRDownloadTask;

class OrsaROIRuntime : public IOrsaMireloRuntime,
                       public ResourceManagerDelegate,
                       public std::enable_shared_from_this<OrsaROIRuntime> {
  struct Key {};

 public:
  static constexpr const char* kModule = "OrsaROIRuntime";
  // The result the preparation wait sees when destroy() ends it.
  static constexpr int64_t kDestroyedResult = kOrsaErrorResource;

  static std::shared_ptr<OrsaROIRuntime> create();
  explicit OrsaROIRuntime(Key);
  ~OrsaROIRuntime() override;

  void initWithConfig(std::shared_ptr<OrsaMireloConfig> config,
                      std::weak_ptr<OrsaMireloDelegate> delegate) override;
  void attach(const std::shared_ptr<OrsaView>& view) override;
  void onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                 std::span<const uint32_t> dataLength,
                                 const QMXVideoFrameParam& param,
                                 const std::string& streamID) override;
  void onPlayerSyncRecvSEI(const std::string& streamID, std::span<const uint8_t> data) override;
  void destroy() override;

  void onSetResourceSuccess() override;
  void onSetResourceFailed(int64_t errorCode) override;

  void loadResource(const std::shared_ptr<ResourceManager>& manager,
                    const std::shared_ptr<OrsaMireloConfig>& config);
  // Queues the frame for its background read; the read frame goes on to the view.
  void drawFrame(std::shared_ptr<OrsaFrameData> frame);

  // What became of the frames of the fit stream that reached this runtime while it ran. Once
  // nothing is in flight, received = refused + droppedBeforeRead + droppedAtRead + handedToView.
  struct FrameCounts {
    uint64_t received = 0;
    // Not drawable for what they carried: no SEI before them, a refused SEI, a head the copy
    // refused, or a placement with nothing in it.
    uint64_t refused = 0;
    // Pushed out of the full backlog waiting for a background read, or left there by destroy.
    uint64_t droppedBeforeRead = 0;
    // Read, but without a background (not prepared, unreadable) or without a view to go to.
    uint64_t droppedAtRead = 0;
    uint64_t handedToView = 0;
    // Waiting for a read, being read or waiting for their turn to go to the view.
    uint64_t inFlight = 0;
  };
  FrameCounts frameCounts() const;
  // Backgrounds come from `reader` instead of the package's frame store (null: the store).
  void setBackgroundReader(std::shared_ptr<OrsaFrameSource> reader);
  // The most frames that wait for a background read; the oldest goes when one more comes.
  static size_t readBacklogBound();
  // Threads that read backgrounds; frames still reach the view in the order they arrived.
  static size_t readerCount();

  // Where the package of `config` is expected: the container's temporary directory, under the
  // last path component of the package URL or "<digital human id>.zip".
  static std::string localPackagePath(const OrsaMireloConfig& config);

  bool isRunning() const { return isRunning_.load(); }
  int64_t setResourceResult() const { return setResourceResult_.load(); }
  // The package was prepared and views attached from now on get its mask at once.
  bool prepared() const;

 private:
  std::shared_ptr<ResourceManager> resourceManager() const;
  std::shared_ptr<OrsaPreviewView> previewView() const;
  std::shared_ptr<OrsaMireloDelegate> delegate() const;
  void releaseWait(int64_t result);
  // Fills in the frame's background; false, with its buffers given back, when there is none.
  bool readBackground(const std::shared_ptr<OrsaFrameData>& frame);
  // Hands a read frame to the attached view; gives its buffers back when there is none.
  void handToView(std::shared_ptr<OrsaFrameData> frame);
  void refuse();
  // False while the attached view's queue, with `reading` frames more, would be full.
  bool viewHasRoom(size_t reading) const;
  void downloadPackage(const std::shared_ptr<ResourceManager>& manager, const std::string& url,
                       const std::string& modelId, const std::string& path);
  void onPackageDownloaded(const std::shared_ptr<ResourceManager>& manager, const std::string& url,
                           const std::string& modelId, const std::string& path,
                           const std::optional<std::string>& localPath,
                           const std::optional<orsa::platform::Error>& error);
  void cancelDownload();
  // Loads the package's mask into `view`; on the caller's thread.
  void loadMask(const std::shared_ptr<OrsaPreviewView>& view);
  // The host hears once per start that the package cannot be had, on the main queue.
  void reportResourceError(const std::string& message);
  // On the main queue, while the runtime runs.
  void reportError(int32_t code, const std::string& message);

  std::atomic<bool> isRunning_{false};
  std::atomic<int64_t> setResourceResult_{0};
  std::shared_ptr<orsa::platform::Semaphore> sem_;
  // Frames waiting for their background, a bounded backlog that a few threads of the runtime's
  // own read from; a reorder step puts the read frames back in arrival order. Handing a frame
  // over costs the RTC thread one lock and one wake-up.
  struct ReadLine;
  std::shared_ptr<ReadLine> readLine_;
  std::atomic<uint64_t> lastSequence_{0};
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<bool> resourceErrorReported_{false};

  // Set on the main thread, read by intake and worker tasks.
  mutable std::mutex mutex_;
  std::weak_ptr<OrsaMireloDelegate> delegate_;
  std::shared_ptr<OrsaMireloConfig> config_;
  std::string modelId_;
  std::string streamId_;
  std::weak_ptr<OrsaPreviewView> orsaPreviewView_;
  std::shared_ptr<ResourceManager> resourceManager_;
  std::shared_ptr<OrsaFrameSource> backgroundReader_;
  bool prepared_ = false;
  // The package download while it runs.
  std::shared_ptr<TRDownloadTask> downloadTask_;

  // The record opened by the last SEI; the RTC thread's alone. After a refused SEI it is null
  // and seiRefused_ is set: the frame it belonged to cannot be placed.
  std::shared_ptr<OrsaFrameData> currentFrameData_;
  bool seiRefused_ = false;
};
