#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "orsa/OrsaPreviewView.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaFrameSource.h"
#include "render/OrsaRenderBackend.h"

namespace orsa::platform {
class Semaphore;
}

// The library's side of a preview view: the frame queue and its consumer thread, the render
// backend, and the hooks the engine installs. Every OrsaPreviewView owns one; the engine, the
// tool and tests reach it with OrsaPreviewViewCore::of(view).
//
// Frames are queued (at most MAX_RENDER_QUEUE_SIZE), taken off by one consumer thread of the
// view's own, paced by each frame's fps and drawn one at a time through the render backend, the
// GL one unless replaced. Without a backend (no GL on this machine) a draw draws nothing but
// still counts.
class OrsaPreviewViewCore {
 public:
  static constexpr const char* kModule = "OrsaPreviewView";

  // The clock the view paces and stamps draws with.
  struct Clock {
    std::function<int64_t()> now;
    std::function<void(int64_t)> sleepUntil;
  };
  // Receives why the view cannot draw, once per view, on whatever thread found out (the drawing
  // thread, possibly inside the view lock, or the caller of loadMaskTexture).
  using FailureCallback = std::function<void(const std::string& reason)>;

  static OrsaPreviewViewCore& of(OrsaPreviewView& view) { return *view.core_; }
  static const OrsaPreviewViewCore& of(const OrsaPreviewView& view) { return *view.core_; }

  // The preview view and its core, with the consumer running.
  static std::shared_ptr<OrsaPreviewView> create(OrsaRect frame, bool withTextureCache);
  // Gives a view made by a variant its core and starts its consumer.
  static void install(const std::shared_ptr<OrsaPreviewView>& view,
                      std::unique_ptr<OrsaPreviewViewCore> core, bool withTextureCache);

  explicit OrsaPreviewViewCore(OrsaPreviewView& view);
  virtual ~OrsaPreviewViewCore();
  OrsaPreviewViewCore(const OrsaPreviewViewCore&) = delete;
  OrsaPreviewViewCore& operator=(const OrsaPreviewViewCore&) = delete;

  // Queues a frame whose background is filled in. Ignored once stopped. Any thread.
  void update(std::shared_ptr<OrsaFrameData> frame);
  // Queues a frame after looking its background up through the frame source on a worker task.
  void drawFrame(std::shared_ptr<OrsaFrameData> frame);
  // Draws one composite; false when refused (a size below one pixel, missing bytes, or a
  // placement that leaves nothing of the head on the background), which counts as no draw.
  // `rect` is clipped to the background first.
  bool updateWithImageBuffer(const uint8_t* image, int32_t width, int32_t height,
                             const uint8_t* subImage, int32_t subWidth, int32_t subHeight,
                             OrsaRect rect);
  // The part of `rect` (background pixels) that lies on a background of width x height; nothing
  // when that part is empty or the rectangle is no number.
  static std::optional<OrsaRect> clipPlacement(OrsaRect rect, double width, double height);
  // The frame rate that paces a frame carrying `fps`: its own when it is one a sender can mean
  // (1-120), else the last such rate seen, else kDefaultFps.
  static constexpr int64_t kDefaultFps = 25;
  static constexpr int64_t kMaxFps = 120;
  static int64_t pacingFps(int64_t fps, int64_t& lastValid);
  void stop();
  bool stopAndWait(std::chrono::milliseconds timeout);
  // Returns the queued frames' buffers to the pool and drops the frame source and backend.
  void deInit();
  void loadMaskTexture(const std::string& path);
  void setPresentationSink(std::function<void(const OrsaPicture&)> sink);
  // Hands a picture drawn but not yet read back to the sink now.
  void flushPresentation();
  bool snapshot(const std::string& path);

  // Called once, on the drawing thread inside the view lock, after the first picture that was
  // actually presented; then cleared.
  void setFirstFrameCallback(std::function<void()> callback);
  // Installing it reports a reason already known at once.
  void setFailureCallback(FailureCallback callback);
  void setResourceManager(std::shared_ptr<OrsaFrameSource> source);
  std::shared_ptr<OrsaFrameSource> resourceManager() const;
  void setRenderBackend(std::shared_ptr<OrsaRenderBackend> backend);
  std::shared_ptr<OrsaRenderBackend> renderBackend() const;
  void setClock(Clock clock);
  // Why the view cannot draw now; nothing while it can (or only waits for its mask).
  std::optional<std::string> cannotDrawReason() const;

  bool stopped() const { return stopped_.load(); }
  bool firstFrame() const { return firstFrame_.load(); }
  int64_t firstFrameTime() const { return firstFrameTime_.load(); }
  uint64_t receivedFrameCount() const { return receivedFrameCount_.load(); }
  uint64_t renderFrameCount() const { return renderFrameCount_.load(); }
  uint64_t presentedFrameCount() const { return presentedFrameCount_.load(); }
  // Numbers the frames a host hands to the view itself, in the order they came.
  uint64_t nextSequence() { return intakeSequence_.fetch_add(1) + 1; }
  // Frames the full queue pushed out.
  uint64_t droppedFrameCount() const { return droppedFrameCount_.load(); }
  // Frames handed to the view after it stopped; they are never drawn.
  uint64_t discardedFrameCount() const { return discardedFrameCount_.load(); }
  // Frames taken off the queue that could not be drawn: sizes, bytes or an empty placement.
  uint64_t refusedFrameCount() const { return refusedFrameCount_.load(); }
  uint64_t outOfOrderFrameCount() const { return outOfOrderFrameCount_.load(); }
  std::vector<int64_t> renderTimePoints() const;
  const std::shared_ptr<orsa::platform::Semaphore>& frameDataSemaphore() const {
    return frameDataSemaphore_;
  }
  size_t queuedFrameCount() const;
  // True while the consumer thread is in its loop.
  bool consumerRunning() const { return consumerRunning_->load(); }

  // Views alive in this process and their drawing threads still running: each view holds a GL
  // context and a thread, so these must come back down when views are let go.
  static int64_t liveViewCount();
  static int64_t runningConsumerCount();

 protected:
  // The steps of a draw a variant view changes. The last two run on the drawing thread, in the
  // view lock, with a backend present.
  virtual std::string getFragmentShaderFunctionName() const { return "fragmentShaderCombine_Face"; }
  virtual void updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                          OrsaSize targetSize);
  virtual void createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width, int32_t height,
                                      int32_t subWidth, int32_t subHeight, OrsaRect rect);

 private:
  void finishConstruction(bool withTextureCache);
  void startFrameConsumer();
  static void consumerLoop(std::weak_ptr<OrsaPreviewView> weakView,
                           std::shared_ptr<std::atomic<bool>> running);
  // One cycle of the consumer loop; false when the loop ends.
  bool consumeOne(uint64_t& escapeCount);
  void drainQueue();
  // Reports cannotDrawReason(), if any, to the failure callback unless that happened before.
  void reportIfCannotDraw();

  OrsaPreviewView& view_;
  std::weak_ptr<OrsaPreviewView> weakView_;  // set by install

  std::atomic<bool> stopped_{false};
  std::atomic<bool> firstFrame_{true};
  std::atomic<int64_t> firstFrameTime_{0};
  std::atomic<uint64_t> receivedFrameCount_{0};
  std::atomic<uint64_t> renderFrameCount_{0};
  std::atomic<uint64_t> presentedFrameCount_{0};
  std::atomic<uint64_t> droppedFrameCount_{0};
  std::atomic<uint64_t> discardedFrameCount_{0};
  std::atomic<uint64_t> refusedFrameCount_{0};
  // When the queue-full warning was last written, so a sustained overload writes it once a
  // second rather than once a frame.
  std::atomic<int64_t> lastFullWarning_{0};  // 0: never
  // The consumer's alone.
  int64_t lastValidFps_ = 0;
  std::atomic<uint64_t> outOfOrderFrameCount_{0};
  std::atomic<uint64_t> intakeSequence_{0};
  std::shared_ptr<std::atomic<bool>> consumerRunning_ = std::make_shared<std::atomic<bool>>(false);

  // Held by stop's signalling task too, which must not need the view.
  std::shared_ptr<orsa::platform::Semaphore> frameDataSemaphore_;

  mutable std::recursive_mutex queueLock_;
  std::deque<std::shared_ptr<OrsaFrameData>> frameDataQueue_;

  mutable std::recursive_mutex viewLock_;
  std::function<void()> firstFrameCallback_;
  std::vector<int64_t> renderTimePoints_;  // oldest first
  // The numbered frame being drawn, for the presentation sink, and the latest drawn so far.
  uint64_t drawingSequence_ = 0;
  int64_t drawingReceiveTime_ = 0;
  uint64_t lastDrawnSequence_ = 0;

  // Read by worker tasks and the consumer outside the view lock, so a draw never delays them.
  mutable std::mutex fieldsLock_;
  std::shared_ptr<OrsaFrameSource> resourceManager_;
  std::shared_ptr<OrsaRenderBackend> backend_;
  Clock clock_;
  // Why the GL backend could not be made, when it could not.
  std::string backendError_;
  // Why the last mask load failed; empty after one succeeded.
  std::string maskError_;
  FailureCallback failureCallback_;
  bool failureReported_ = false;
};
