#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orsa/OrsaExport.h"
#include "orsa/OrsaPicture.h"
#include "orsa/OrsaView.h"

class OrsaFrameData;
class OrsaFrameSource;
class OrsaRenderBackend;
namespace orsa::platform {
class Semaphore;
}

// The view the digital human is drawn into: frames are queued (at most MAX_RENDER_QUEUE_SIZE),
// taken off by one consumer thread of the view's own, paced by each frame's fps and drawn one at
// a time through the render backend, the GL one unless replaced. Without a backend (no GL on
// this machine) a draw draws nothing but still counts.
//
// A host creates one, hands it to IOrsaMirelo::attach (or adds it to its own view tree) and
// reads what it presents through setPresentationSink or snapshot; the engine feeds it frames.
// Create it with create(): the consumer holds the view weakly and strongly only for one cycle,
// so a view its owners let go of is destroyed within about a second and the consumer ends.
class ORSA_EXPORT OrsaPreviewView : public OrsaView {
 protected:
  struct Key {};

 public:
  static constexpr const char* kModule = "OrsaPreviewView";

  // The clock the view paces and stamps draws with. Tests may replace it.
  struct Clock {
    std::function<int64_t()> now;
    std::function<void(int64_t)> sleepUntil;
  };

  // `init`: the common set-up and the GPU side.
  static std::shared_ptr<OrsaPreviewView> create();
  // `initWithFrame:`: the same, and the GPU side gets its texture cache too.
  static std::shared_ptr<OrsaPreviewView> create(OrsaRect frame);

  OrsaPreviewView(Key, OrsaRect frame);
  ~OrsaPreviewView() override;

  // Queues a frame whose background is filled in. Ignored once stopped. Any thread.
  void update(std::shared_ptr<OrsaFrameData> frame);
  // Queues a frame after looking its background up through the frame source on a worker task.
  void drawFrame(std::shared_ptr<OrsaFrameData> frame);
  // Draws one composite now, on the calling thread. `image` is RGBA, `subImage` BGRA, both
  // packed; `rect` places the head in background pixels.
  void updateWithImageBuffer(const uint8_t* image, int32_t width, int32_t height,
                             const uint8_t* subImage, int32_t subWidth, int32_t subHeight,
                             OrsaRect rect);
  // Idempotent; any thread. The consumer ends within one cycle.
  void stop();
  // stop(), then waits at most `timeout` for the consumer thread to end; true once it has. A host
  // ending its process calls it, so no drawing thread outlives the GL driver. Not from a
  // presentation sink or first-frame callback: those run on the consumer thread itself.
  bool stopAndWait(std::chrono::milliseconds timeout);
  // Returns the queued frames' buffers to the pool and drops the frame source and backend.
  void deInit();

  // The package's mask image (PNG). Until one has loaded, frames are consumed and counted but
  // nothing is drawn. Any thread.
  void loadMaskTexture(const std::string& path);
  // Receives every picture presented from now on, on the drawing thread; pixels are read back
  // from the GPU only while a sink is set. An empty function removes it.
  void setPresentationSink(std::function<void(const OrsaPicture&)> sink);
  // Writes the picture presented last as a PNG file; false when nothing was presented yet.
  bool snapshot(const std::string& path);

  void setFirstFrameCallback(std::function<void()> callback);
  void setResourceManager(std::shared_ptr<OrsaFrameSource> source);
  std::shared_ptr<OrsaFrameSource> resourceManager() const;
  void setRenderBackend(std::shared_ptr<OrsaRenderBackend> backend);
  std::shared_ptr<OrsaRenderBackend> renderBackend() const;
  void setClock(Clock clock);

  bool stopped() const { return stopped_.load(); }
  bool firstFrame() const { return firstFrame_.load(); }
  int64_t firstFrameTime() const { return firstFrameTime_.load(); }
  uint64_t receivedFrameCount() const { return receivedFrameCount_.load(); }
  uint64_t renderFrameCount() const { return renderFrameCount_.load(); }
  // Frames the full queue pushed out before they were drawn.
  uint64_t droppedFrameCount() const { return droppedFrameCount_.load(); }
  // Numbered frames drawn after a frame that arrived later than them.
  uint64_t outOfOrderFrameCount() const { return outOfOrderFrameCount_.load(); }
  std::vector<int64_t> renderTimePoints() const;
  const std::shared_ptr<orsa::platform::Semaphore>& frameDataSemaphore() const {
    return frameDataSemaphore_;
  }
  size_t queuedFrameCount() const;
  // True while the consumer thread is in its loop.
  bool consumerRunning() const { return consumerRunning_->load(); }

 protected:
  const char* className() const override { return "OrsaPreviewView"; }

  // The steps of a draw a variant view changes. They run on the drawing thread, in the view
  // lock, with a backend present.
  virtual std::string getFragmentShaderFunctionName() const { return "fragmentShaderCombine_Face"; }
  virtual void updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                          OrsaSize targetSize);
  virtual void createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width, int32_t height,
                                      int32_t subWidth, int32_t subHeight, OrsaRect rect);
  // The construction steps that need the finished object (virtual calls, a weak self).
  void finishConstruction(bool withTextureCache);

 private:
  void startFrameConsumer();
  static void consumerLoop(std::weak_ptr<OrsaPreviewView> weakView,
                           std::shared_ptr<std::atomic<bool>> running);
  // One cycle of the consumer loop; false when the loop ends.
  bool consumeOne(uint64_t& escapeCount);
  void drainQueue();

  std::atomic<bool> stopped_{false};
  std::atomic<bool> firstFrame_{true};
  std::atomic<int64_t> firstFrameTime_{0};
  std::atomic<uint64_t> receivedFrameCount_{0};
  std::atomic<uint64_t> renderFrameCount_{0};
  std::atomic<uint64_t> droppedFrameCount_{0};
  std::atomic<uint64_t> outOfOrderFrameCount_{0};
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
};
