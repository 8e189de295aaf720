#include "render/OrsaPreviewViewCore.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "logging/QMXLogUtil.h"
#include "orsa/OrsaConstants.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaFrameSource.h"
#include "render/gl/GlRenderBackend.h"
#include "utils/Image.h"

namespace {

using orsa::platform::globalQueue;
using orsa::platform::QoS;

constexpr const char* M = OrsaPreviewViewCore::kModule;
constexpr int64_t kFullWarningIntervalMs = 1000;

std::atomic<int64_t> liveViews{0};
std::atomic<int64_t> runningConsumers{0};

// Pointer to the first byte of a buffer that holds at least `bytes` bytes; null otherwise, which
// the draw step refuses like a missing picture.
const uint8_t* bytesOf(const OrsaBuffer& buffer, int64_t width, int64_t height) {
  if (!buffer || width < 1 || height < 1) return nullptr;
  if (buffer->size() / 4 / static_cast<uint64_t>(width) < static_cast<uint64_t>(height)) {
    return nullptr;
  }
  return buffer->data();
}

}  // namespace

std::shared_ptr<OrsaPreviewView> OrsaPreviewViewCore::create(OrsaRect frame,
                                                             bool withTextureCache) {
  auto view = std::shared_ptr<OrsaPreviewView>(new OrsaPreviewView(frame));
  install(view, std::make_unique<OrsaPreviewViewCore>(*view), withTextureCache);
  return view;
}

void OrsaPreviewViewCore::install(const std::shared_ptr<OrsaPreviewView>& view,
                                  std::unique_ptr<OrsaPreviewViewCore> core,
                                  bool withTextureCache) {
  core->weakView_ = view;
  view->core_ = std::move(core);
  view->core_->finishConstruction(withTextureCache);
}

void OrsaPreviewViewCore::finishConstruction(bool withTextureCache) {
  std::string error;
  auto backend =
      orsa::gl::GlRenderBackend::create(getFragmentShaderFunctionName(), withTextureCache, &error);
  setRenderBackend(std::move(backend));
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    backendError_ = std::move(error);
  }
  // The consumer needs a weak reference, which exists only once the view is shared.
  startFrameConsumer();
}

OrsaPreviewViewCore::OrsaPreviewViewCore(OrsaPreviewView& view)
    : view_(view),
      frameDataSemaphore_(std::make_shared<orsa::platform::Semaphore>(0)),
      clock_{orsa::platform::currentMillis, orsa::platform::sleepUntil} {
  liveViews.fetch_add(1);
}

OrsaPreviewViewCore::~OrsaPreviewViewCore() {
  ORSA_LOG_INFO(M, "DigitalHumanView dealloc, frameDataQueue size: %ld",
                static_cast<long>(queuedFrameCount()));
  stop();
  deInit();
  liveViews.fetch_sub(1);
}

int64_t OrsaPreviewViewCore::liveViewCount() {
  return liveViews.load();
}

int64_t OrsaPreviewViewCore::runningConsumerCount() {
  return runningConsumers.load();
}

void OrsaPreviewViewCore::startFrameConsumer() {
  {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    frameDataQueue_.clear();
  }
  if (stopped_.load()) return;
  consumerRunning_->store(true);
  runningConsumers.fetch_add(1);
  orsa::platform::runOnOwnThread("OrsaPreviewView", [weak = weakView_, running = consumerRunning_] {
    consumerLoop(weak, running);
  });
}

void OrsaPreviewViewCore::consumerLoop(std::weak_ptr<OrsaPreviewView> weakView,
                                       std::shared_ptr<std::atomic<bool>> running) {
  uint64_t escapeCount = 0;
  for (;;) {
    // Strong only for this cycle: if the owners let go meanwhile, the view dies here.
    auto view = weakView.lock();
    if (!view || !of(*view).consumeOne(escapeCount)) break;
  }
  ORSA_LOG_INFO(M, "Frame consumer stopped");
  running->store(false);
  runningConsumers.fetch_sub(1);
}

bool OrsaPreviewViewCore::consumeOne(uint64_t& escapeCount) {
  const bool signalled =
      !stopped_.load() && frameDataSemaphore_->waitFor(std::chrono::milliseconds(1000));
  if (stopped_.load()) {
    // A stopped view draws no more, so the picture drawn last goes to the sink as it ends.
    flushPresentation();
    return false;
  }
  if (!signalled) return true;

  std::shared_ptr<OrsaFrameData> frame;
  {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    if (frameDataQueue_.empty()) {
      ++escapeCount;
      ORSA_LOG_ERROR(M, "frame consumer did not receive frame, escapeCount: %llu",
                     static_cast<unsigned long long>(escapeCount));
      return true;
    }
    frame = std::move(frameDataQueue_.front());
    frameDataQueue_.pop_front();
  }
  if (!frame) {
    ORSA_LOG_ERROR(M, "frameData is nil");
    return true;
  }

  const uint64_t received = receivedFrameCount_.load();
  QMXLogUtil::sharedInstance().logTraceSamp(
      M, received, __FILE__, __func__, __LINE__, kQMXLogTag,
      "received frame, roi width: %ld, roi height: %ld, bg width: %ld, bg height: %ld, received "
      "frame count: %lu",
      static_cast<long>(frame->roiWidth()), static_cast<long>(frame->roiHeight()),
      static_cast<long>(frame->originFrameWidth()), static_cast<long>(frame->originFrameHeight()),
      static_cast<unsigned long>(received));

  Clock clock;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    clock = clock_;
  }
  const int64_t fps = pacingFps(frame->fps(), lastValidFps_);
  const auto interval = static_cast<int32_t>(static_cast<double>(1000 / fps) * 0.8);
  const int64_t deadline = clock.now() + interval;

  // In doubles: the fields may hold any 64-bit value, whose differences would overflow.
  const auto left = static_cast<double>(frame->left()), top = static_cast<double>(frame->top());
  const OrsaRect rect{left, top, static_cast<double>(frame->right()) - left,
                      static_cast<double>(frame->bottom()) - top};
  const int64_t width = frame->originFrameWidth(), height = frame->originFrameHeight();
  const int64_t subWidth = frame->roiWidth(), subHeight = frame->roiHeight();
  bool drawn;
  {
    std::lock_guard<std::recursive_mutex> lock(viewLock_);
    drawingSequence_ = frame->sequence();
    drawingReceiveTime_ = frame->receiveTime();
    if (drawingSequence_ != 0) {
      if (drawingSequence_ < lastDrawnSequence_) outOfOrderFrameCount_.fetch_add(1);
      lastDrawnSequence_ = std::max(lastDrawnSequence_, drawingSequence_);
    }
    // bytesOf refuses sizes its buffer does not hold, so the narrowing below keeps them.
    drawn = updateWithImageBuffer(
        bytesOf(frame->originFrameData(), width, height), static_cast<int32_t>(width),
        static_cast<int32_t>(height), bytesOf(frame->roiData(), subWidth, subHeight),
        static_cast<int32_t>(subWidth), static_cast<int32_t>(subHeight), rect);
    drawingSequence_ = 0;
    drawingReceiveTime_ = 0;
  }
  // The draw copied both into textures, so the pool may lend them out again at once.
  frame->giveBackBuffers();
  if (!drawn) refusedFrameCount_.fetch_add(1);

  // A refused frame took no time worth spreading out.
  if (drawn && interval > 0) clock.sleepUntil(deadline);
  receivedFrameCount_.fetch_add(1);
  return true;
}

int64_t OrsaPreviewViewCore::pacingFps(int64_t fps, int64_t& lastValid) {
  if (fps >= 1 && fps <= kMaxFps) {
    lastValid = fps;
    return fps;
  }
  return lastValid >= 1 ? lastValid : kDefaultFps;
}

std::optional<OrsaRect> OrsaPreviewViewCore::clipPlacement(OrsaRect rect, double width,
                                                           double height) {
  const double x0 = std::max(rect.x, 0.0), y0 = std::max(rect.y, 0.0);
  const double x1 = std::min(rect.x + rect.width, width);
  const double y1 = std::min(rect.y + rect.height, height);
  // Written so that a NaN anywhere makes the rectangle empty.
  if (!(x1 > x0) || !(y1 > y0)) return std::nullopt;
  return OrsaRect{x0, y0, x1 - x0, y1 - y0};
}

void OrsaPreviewViewCore::update(std::shared_ptr<OrsaFrameData> frame) {
  std::shared_ptr<OrsaFrameData> dropped;
  bool stopped = false;
  {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    if (stopped_.load()) {
      stopped = true;
      dropped = std::move(frame);
    } else {
      frameDataQueue_.push_back(std::move(frame));
      if (frameDataQueue_.size() <= static_cast<size_t>(MAX_RENDER_QUEUE_SIZE)) {
        if (frameDataSemaphore_) {
          globalQueue(QoS::UserInitiated)->async([sem = frameDataSemaphore_] { sem->signal(); });
        }
        return;
      }
      // The new frame takes the dropped one's signal: signals and queued frames stay one to one.
      dropped = std::move(frameDataQueue_.front());
      frameDataQueue_.pop_front();
    }
  }
  // Everything below runs outside the queue lock, which takes no other lock while held.
  if (stopped) {
    discardedFrameCount_.fetch_add(1);
  } else {
    droppedFrameCount_.fetch_add(1);
    // A sustained overload drops at frame rate; once a second says as much.
    const int64_t now = orsa::platform::currentMillis();
    int64_t last = lastFullWarning_.load();
    if ((last == 0 || now - last >= kFullWarningIntervalMs) &&
        lastFullWarning_.compare_exchange_strong(last, now)) {
      ORSA_LOG_WARN(M, "frameDataQueue is full, drop the first element");
    }
  }
  // Back to the pool rather than freed: keeps steady streaming free of allocations under
  // overload.
  if (dropped) dropped->giveBackBuffers();
}

void OrsaPreviewViewCore::drawFrame(std::shared_ptr<OrsaFrameData> frame) {
  if (!frame || !frame->roiData() || frame->roiWidth() == 0 || frame->roiHeight() == 0) {
    ORSA_LOG_INFO(M, "Received invalid frame data, roiData: %p, roiWidth: %lu, roiHeight: %lu",
                  frame ? static_cast<const void*>(frame->roiData().get()) : nullptr,
                  static_cast<unsigned long>(frame ? frame->roiWidth() : 0),
                  static_cast<unsigned long>(frame ? frame->roiHeight() : 0));
    return;
  }
  globalQueue(QoS::UserInitiated)->async([weak = weakView_, frame = std::move(frame)] {
    auto strong = weak.lock();
    if (!strong) return;
    auto* view = &of(*strong);
    if (view->stopped_.load()) return;
    auto source = view->resourceManager();
    std::shared_ptr<Image> image;
    const auto index = static_cast<int32_t>(frame->frameIndex());
    if (frame->type() == 0) {
      if (source) image = source->readOriginFrame(index);
    } else if (frame->type() == 1) {
      if (source) {
        image = source->readInterpolationWithStart(static_cast<int32_t>(frame->startIndex()),
                                                   static_cast<int32_t>(frame->endIndex()), index);
      }
    } else {
      ORSA_LOG_ERROR(M, "invalid frameData type %ld received", static_cast<long>(frame->type()));
    }
    if (image) {
      frame->updateOriginFrame(image->data(), image->width(), image->height());
    } else {
      frame->updateOriginFrame(nullptr, 0, 0);
    }
    view->update(frame);
  });
}

bool OrsaPreviewViewCore::updateWithImageBuffer(const uint8_t* image, int32_t width, int32_t height,
                                                const uint8_t* subImage, int32_t subWidth,
                                                int32_t subHeight, OrsaRect placement) {
  if (width < 1 || height < 1 || !image) {
    ORSA_LOG_ERROR(M, "Invalid image size, width: %d, height: %d, subWidth: %d, subHeight: %d",
                   width, height, subWidth, subHeight);
    return false;
  }
  if (subWidth < 1 || subHeight < 1 || !subImage) {
    ORSA_LOG_ERROR(M, "Invalid image size, width: %d, height: %d", subWidth, subHeight);
    return false;
  }
  // A mirrored, empty or outside placement would sample beyond the background or divide by
  // zero in the shader's mapping: only the part on the background is drawn, if any.
  const auto clipped = clipPlacement(placement, width, height);
  if (!clipped) return false;
  const OrsaRect rect = *clipped;
  std::lock_guard<std::recursive_mutex> lock(viewLock_);
  QMXLogUtil::sharedInstance().logTraceSamp(
      M, renderFrameCount_.load(), __FILE__, __func__, __LINE__, kQMXLogTag,
      "backgroundWidth: %d, backgroundHeight: %d, headWidth: %d, headHeight: %d", width, height,
      subWidth, subHeight);

  bool presented = false;
  if (auto backend = renderBackend()) {
    using Format = OrsaRenderBackend::PixelFormat;
    const auto binding = backend->bindForFrame();
    auto background =
        backend->createRGBATextureFromBuffer(image, width, height, Format::RGBA8Unorm);
    auto head =
        backend->createRGBATextureFromBuffer(subImage, subWidth, subHeight, Format::BGRA8Unorm);
    // The drawing layer follows the view's bounds and scale (the layout step).
    const OrsaSize layer = view_.layerSize();
    backend->layoutLayer(layer, view_.contentsScale());
    updateViewportForLayerSize(*backend, layer,
                               OrsaSize{static_cast<double>(width), static_cast<double>(height)});
    createBuffersWithWidth(*backend, width, height, subWidth, subHeight, rect);
    backend->setNextPictureFrame(drawingSequence_, drawingReceiveTime_);
    presented = backend->compositeAndDrawWithSubBuffer(background, head);
    // With no frame behind it, nothing would bring this picture to the sink: it goes now.
    if (queuedFrameCount() == 0) backend->flushPresentation();
  }

  int64_t now;
  {
    std::lock_guard<std::mutex> fields(fieldsLock_);
    now = clock_.now();
  }
  if (presented) {
    presentedFrameCount_.fetch_add(1);
    // "First frame" means the first picture the host could see, not the first attempt.
    if (firstFrame_.exchange(false)) {
      firstFrameTime_.store(now);
      if (firstFrameCallback_) {
        auto callback = std::move(firstFrameCallback_);
        firstFrameCallback_ = nullptr;
        callback();
      }
    }
  } else {
    reportIfCannotDraw();
  }
  size_t expired = 0;
  while (expired < renderTimePoints_.size() && renderTimePoints_[expired] <= now - 1000) {
    ++expired;
  }
  renderTimePoints_.erase(renderTimePoints_.begin(),
                          renderTimePoints_.begin() + static_cast<std::ptrdiff_t>(expired));
  renderTimePoints_.push_back(now);
  const uint64_t count = renderFrameCount_.fetch_add(1) + 1;
  QMXLogUtil::sharedInstance().logTraceSamp(
      M, count, __FILE__, __func__, __LINE__, kQMXLogTag, "real time fps: %lld, average fps: %lf",
      static_cast<long long>(renderTimePoints_.size()),
      static_cast<double>(count) / (static_cast<double>(now - firstFrameTime_.load()) / 1000.0));
  return true;
}

void OrsaPreviewViewCore::updateViewportForLayerSize(OrsaRenderBackend& backend, OrsaSize layerSize,
                                                     OrsaSize targetSize) {
  backend.updateViewportForLayerSize(layerSize, targetSize);
}

void OrsaPreviewViewCore::createBuffersWithWidth(OrsaRenderBackend& backend, int32_t width,
                                                 int32_t height, int32_t subWidth,
                                                 int32_t subHeight, OrsaRect rect) {
  backend.createBuffersWithWidth(width, height, subWidth, subHeight, rect);
}

void OrsaPreviewViewCore::loadMaskTexture(const std::string& path) {
  // Outside the view lock: decoding and uploading the mask must not hold up a draw.
  auto backend = renderBackend();
  if (!backend) return reportIfCannotDraw();
  std::string error;
  const bool loaded = backend->loadMaskTexture(path, error);
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    maskError_ = loaded ? std::string() : "the mask cannot be loaded: " + error;
  }
  if (!loaded) reportIfCannotDraw();
}

std::optional<std::string> OrsaPreviewViewCore::cannotDrawReason() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  if (!backend_) return backendError_.empty() ? "no render backend" : backendError_;
  if (auto failure = backend_->failure()) return failure;
  if (!maskError_.empty()) return maskError_;
  return std::nullopt;
}

void OrsaPreviewViewCore::reportIfCannotDraw() {
  FailureCallback callback;
  std::optional<std::string> reason;
  if (stopped_.load()) return;  // nobody waits for a stopped view's pictures
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    if (failureReported_ || !failureCallback_) return;
  }
  reason = cannotDrawReason();
  if (!reason) return;
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    // Another thread may have reported meanwhile: once per view.
    if (failureReported_ || !failureCallback_) return;
    failureReported_ = true;
    callback = failureCallback_;
  }
  ORSA_LOG_ERROR(M, "The view cannot draw: %s", reason->c_str());
  callback(*reason);
}

void OrsaPreviewViewCore::setFailureCallback(FailureCallback callback) {
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    failureCallback_ = std::move(callback);
  }
  reportIfCannotDraw();
}

void OrsaPreviewViewCore::setPresentationSink(std::function<void(const OrsaPicture&)> sink) {
  auto backend = renderBackend();
  if (!backend) return;
  // The old sink may still get the last picture: in the view lock, as every picture.
  std::lock_guard<std::recursive_mutex> lock(viewLock_);
  backend->setPresentationSink(std::move(sink));
}

void OrsaPreviewViewCore::flushPresentation() {
  auto backend = renderBackend();
  if (!backend) return;
  std::lock_guard<std::recursive_mutex> lock(viewLock_);
  backend->flushPresentation();
}

bool OrsaPreviewViewCore::snapshot(const std::string& path) {
  auto backend = renderBackend();
  return backend && backend->snapshot(path);
}

void OrsaPreviewViewCore::stop() {
  if (stopped_.exchange(true)) return;
  if (!frameDataSemaphore_) return;
  // The task holds only the semaphore: the view may be gone by the time it runs.
  globalQueue(QoS::UserInitiated)->async([sem = frameDataSemaphore_] {
    for (int i = 0; i < 5; ++i) sem->signal();
  });
}

bool OrsaPreviewViewCore::stopAndWait(std::chrono::milliseconds timeout) {
  stop();
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (consumerRunning()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void OrsaPreviewViewCore::drainQueue() {
  std::deque<std::shared_ptr<OrsaFrameData>> queued;
  {
    std::lock_guard<std::recursive_mutex> lock(queueLock_);
    queued.swap(frameDataQueue_);
  }
  for (auto& frame : queued) {
    if (frame) frame->giveBackBuffers();
  }
}

void OrsaPreviewViewCore::deInit() {
  drainQueue();
  {
    std::lock_guard<std::recursive_mutex> lock(viewLock_);
    renderTimePoints_.clear();
  }
  // A draw in progress keeps its own reference; the backend goes when that draw ends.
  std::shared_ptr<OrsaRenderBackend> backend;
  std::lock_guard<std::mutex> lock(fieldsLock_);
  backend.swap(backend_);
  resourceManager_.reset();
}

void OrsaPreviewViewCore::setFirstFrameCallback(std::function<void()> callback) {
  std::lock_guard<std::recursive_mutex> lock(viewLock_);
  firstFrameCallback_ = std::move(callback);
}

void OrsaPreviewViewCore::setResourceManager(std::shared_ptr<OrsaFrameSource> source) {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  resourceManager_ = std::move(source);
}

std::shared_ptr<OrsaFrameSource> OrsaPreviewViewCore::resourceManager() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return resourceManager_;
}

void OrsaPreviewViewCore::setRenderBackend(std::shared_ptr<OrsaRenderBackend> backend) {
  {
    std::lock_guard<std::mutex> lock(fieldsLock_);
    backend_.swap(backend);
    backendError_.clear();
    maskError_.clear();
  }
  // The old backend goes outside the lock: its destruction may take the GL context.
  backend.reset();
  reportIfCannotDraw();
}

std::shared_ptr<OrsaRenderBackend> OrsaPreviewViewCore::renderBackend() const {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  return backend_;
}

void OrsaPreviewViewCore::setClock(Clock clock) {
  std::lock_guard<std::mutex> lock(fieldsLock_);
  clock_ = std::move(clock);
}

std::vector<int64_t> OrsaPreviewViewCore::renderTimePoints() const {
  std::lock_guard<std::recursive_mutex> lock(viewLock_);
  return renderTimePoints_;
}

size_t OrsaPreviewViewCore::queuedFrameCount() const {
  std::lock_guard<std::recursive_mutex> lock(queueLock_);
  return frameDataQueue_.size();
}
