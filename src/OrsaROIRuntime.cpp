#include "OrsaROIRuntime.h"

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "OrsaLogClip.h"
#include "download/TRDownloadUtils.h"
#include "download/TRDownloader.h"
#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Digest.h"
#include "render/OrsaPreviewViewCore.h"

namespace {

constexpr const char* M = OrsaROIRuntime::kModule;
// Hex digits of the URL's SHA-256 in a local package's name.
constexpr size_t kPackageDigestLength = 16;
// The file id of package downloads' tasks (the task id is the URL's with it).
constexpr const char* kPackageTaskFileId = "OrsaROIRuntime.package";

using orsa::platform::mainQueue;

void runOnMainQueue(orsa::platform::Task task) {
  if (mainQueue()->isCurrent()) {
    task();
  } else {
    mainQueue()->async(std::move(task));
  }
}

std::string describe(const std::shared_ptr<OrsaView>& view) {
  return view ? view->description() : std::string("(null)");
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The URL's last path component, percent escapes decoded; "" when the path has none.
std::string lastPathComponent(const std::string& url) {
  std::string rest = url;
  if (auto scheme = rest.find("://"); scheme != std::string::npos) {
    rest = rest.substr(scheme + 3);
    const auto slash = rest.find('/');
    rest = slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  rest = rest.substr(0, rest.find_first_of("?#"));
  while (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::string encoded = rest.substr(rest.find_last_of('/') + 1);
  std::string name;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%' && i + 2 < encoded.size() && hexDigit(encoded[i + 1]) >= 0 &&
        hexDigit(encoded[i + 2]) >= 0) {
      name += static_cast<char>(hexDigit(encoded[i + 1]) * 16 + hexDigit(encoded[i + 2]));
      i += 2;
    } else {
      name += encoded[i];
    }
  }
  return name;
}

}  // namespace

// Frames wait in `waiting` (at most `bound`, oldest first) until a reader takes one. A reader
// takes it with a ticket, the next in arrival order, reads its background and finishes the
// ticket; finished frames go on strictly by ticket, so a fast read never overtakes a slow one.
struct OrsaROIRuntime::ReadLine {
  using Deliver = std::function<void(std::shared_ptr<OrsaFrameData>)>;

  explicit ReadLine(size_t waitingBound) : bound(waitingBound) {}

  const size_t bound;
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::shared_ptr<OrsaFrameData>> waiting;
  // Read frames waiting for their turn; null for one that was dropped at its read.
  std::map<uint64_t, std::shared_ptr<OrsaFrameData>> finished;
  uint64_t nextTicket = 0, nextDelivery = 0;
  bool delivering = false;
  bool stopped = false;

  std::atomic<uint64_t> droppedBeforeRead{0}, droppedAtRead{0}, handedToView{0}, inFlight{0};

  void push(std::shared_ptr<OrsaFrameData> frame) {
    std::shared_ptr<OrsaFrameData> dropped;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopped) {
        dropped = std::move(frame);
      } else {
        inFlight.fetch_add(1);
        waiting.push_back(std::move(frame));
        if (waiting.size() > bound) {
          dropped = std::move(waiting.front());
          waiting.pop_front();
          inFlight.fetch_sub(1);
        }
      }
    }
    ready.notify_one();
    if (dropped) {
      droppedBeforeRead.fetch_add(1);
      // Its head buffer goes back to the pool rather than being freed.
      dropped->giveBackBuffers();
    }
  }

  // The oldest waiting frame and its ticket; null once stopped. Every frame taken must be
  // finished.
  std::shared_ptr<OrsaFrameData> take(uint64_t& ticket) {
    std::unique_lock<std::mutex> lock(mutex);
    ready.wait(lock, [&] { return stopped || !waiting.empty(); });
    if (stopped) return nullptr;
    auto frame = std::move(waiting.front());
    waiting.pop_front();
    ticket = nextTicket++;
    return frame;
  }

  // Files the read frame (null: dropped) under its ticket and, unless another thread is at it,
  // delivers every frame whose turn has come, in order, outside the lock.
  void finish(uint64_t ticket, std::shared_ptr<OrsaFrameData> frame, const Deliver& deliver) {
    std::unique_lock<std::mutex> lock(mutex);
    finished.emplace(ticket, std::move(frame));
    if (delivering) return;
    delivering = true;
    std::vector<std::shared_ptr<OrsaFrameData>> batch;
    for (;;) {
      for (auto it = finished.begin(); it != finished.end() && it->first == nextDelivery;
           it = finished.erase(it), ++nextDelivery) {
        batch.push_back(std::move(it->second));
      }
      if (batch.empty()) break;
      lock.unlock();
      for (auto& f : batch) {
        if (f) deliver(std::move(f));
        inFlight.fetch_sub(1);
      }
      batch.clear();
      lock.lock();
    }
    delivering = false;
  }

  bool isStopped() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopped;
  }
  // Frames taken by readers and not yet gone on.
  size_t busy() {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<size_t>(nextTicket - nextDelivery);
  }

  void stop() {
    std::deque<std::shared_ptr<OrsaFrameData>> left;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopped = true;
      left.swap(waiting);
    }
    ready.notify_all();
    for (auto& frame : left) {
      droppedBeforeRead.fetch_add(1);
      inFlight.fetch_sub(1);
      frame->giveBackBuffers();
    }
  }
};

size_t OrsaROIRuntime::readerCount() {
  // Two readers double what one decodes; more than four would only compete with the drawing
  // thread for the cores.
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 2, 4);
}

size_t OrsaROIRuntime::readBacklogBound() {
  // Enough for a burst from the RTC thread while the readers wake, small enough that a frame at
  // its end is still fresh when it is drawn.
  return 4;
}

void OrsaROIRuntime::setBackgroundReader(std::shared_ptr<OrsaFrameSource> reader) {
  std::lock_guard<std::mutex> lock(mutex_);
  backgroundReader_ = std::move(reader);
}

OrsaROIRuntime::FrameCounts OrsaROIRuntime::frameCounts() const {
  FrameCounts c;
  c.received = received_.load();
  c.refused = refused_.load();
  c.droppedBeforeRead = readLine_->droppedBeforeRead.load();
  c.droppedAtRead = readLine_->droppedAtRead.load();
  c.handedToView = readLine_->handedToView.load();
  c.inFlight = readLine_->inFlight.load();
  return c;
}

std::shared_ptr<OrsaROIRuntime> OrsaROIRuntime::create() {
  return std::make_shared<OrsaROIRuntime>(Key{});
}

OrsaROIRuntime::OrsaROIRuntime(Key)
    : sem_(std::make_shared<orsa::platform::Semaphore>(0)),
      readLine_(std::make_shared<ReadLine>(readBacklogBound())) {}

OrsaROIRuntime::~OrsaROIRuntime() {
  readLine_->stop();
}

std::string OrsaROIRuntime::localPackagePath(const OrsaMireloConfig& config) {
  auto fit = config.getFitStream();
  const std::string url = fit && fit->packageUrl() ? *fit->packageUrl() : "";
  std::string name;
  if (!url.empty()) {
    // Named by the whole URL, so two packages that share a file name stay apart; the URL's
    // own file name follows, for people looking at the folder.
    name = orsa::platform::Digest::sha256Hex(url).substr(0, kPackageDigestLength);
    const std::string last = lastPathComponent(url);
    if (TRDownloadUtils::isSafeName(last)) name += "-" + last;
  } else {
    name = fmt::sprintf("%s.zip", config.digitalHumanId().value_or(""));
    for (char& c : name) {
      if (c == '/') c = '_';
    }
  }
  return orsa::platform::AppContainer::temporaryDirectory() + "/" + name;
}

void OrsaROIRuntime::initWithConfig(std::shared_ptr<OrsaMireloConfig> config,
                                    std::weak_ptr<OrsaMireloDelegate> delegate) {
  const std::string modelId = config ? config->digitalHumanId().value_or("") : "";
  ORSA_LOG_INFO(M, "[init][%s] config: %s, listener: %p", orsaLogClip(modelId),
                orsaLogClip(config ? config->string() : std::string("(null)")),
                static_cast<const void*>(delegate.lock().get()));
  auto manager = ResourceManager::create();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
    config_ = config;
    modelId_ = modelId;
    auto fit = config ? config->getFitStream() : nullptr;
    streamId_ = fit && fit->streamId() ? *fit->streamId() : "";
    resourceManager_ = manager;
  }
  if (config) loadResource(manager, config);
  isRunning_.store(true);

  // A reader holds the runtime only while it reads a frame and delivers what is due.
  for (size_t i = 0; i < readerCount(); ++i) {
    orsa::platform::runOnOwnThread(
        "OrsaROIRuntime.read", [line = readLine_, weak = weak_from_this()] {
          uint64_t ticket = 0;
          for (;;) {
            // While the view's queue would be full with the reads under way, a frame read now
            // would only push out one read before it: the decode is saved, and the frames that
            // wait meanwhile are the ones the backlog's bound drops.
            while (!line->isStopped()) {
              auto self = weak.lock();
              if (!self || self->viewHasRoom(line->busy())) break;
              self.reset();
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            auto frame = line->take(ticket);
            if (!frame) break;
            auto self = weak.lock();
            // readBackground gives back the buffers of a frame it cannot read itself.
            if (!self) frame->giveBackBuffers();
            if (!self || !self->readBackground(frame)) {
              line->droppedAtRead.fetch_add(1);
              frame.reset();
            }
            line->finish(ticket, std::move(frame), [&](std::shared_ptr<OrsaFrameData> ready) {
              if (self) return self->handToView(std::move(ready));
              line->droppedAtRead.fetch_add(1);
              ready->giveBackBuffers();
            });
          }
        });
  }

  // The wait blocks, so it gets a thread of its own rather than a worker of the shared pool.
  orsa::platform::runOnOwnThread("OrsaROIRuntime.prepare", [self = shared_from_this()] {
    self->sem_->wait();
    if (self->setResourceResult_.load() != 0) {
      ORSA_LOG_INFO(M, "Set resource failed");
      return;
    }
    if (!self->isRunning_.load()) return;
    std::shared_ptr<OrsaPreviewView> view;
    {
      // A view attached from now on loads the mask itself (see attach).
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->prepared_ = true;
      view = self->orsaPreviewView_.lock();
    }
    if (view) self->loadMask(view);
  });
}

void OrsaROIRuntime::loadResource(const std::shared_ptr<ResourceManager>& manager,
                                  const std::shared_ptr<OrsaMireloConfig>& config) {
  auto fit = config->getFitStream();
  const std::string modelId = config->digitalHumanId().value_or("");
  ORSA_LOG_INFO(M, "[load resource][%s] load resource now, url: %s", orsaLogClip(modelId),
                orsaLogClip(fit && fit->packageUrl() ? *fit->packageUrl() : std::string()));
  const std::string path = localPackagePath(*config);
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    std::weak_ptr<OrsaROIRuntime> weak = shared_from_this();
    mainQueue()->asyncAfter(std::chrono::milliseconds(100), [weak, manager, path] {
      if (auto self = weak.lock()) manager->setResource(path, self);
    });
    return;
  }
  downloadPackage(manager, fit && fit->packageUrl() ? *fit->packageUrl() : std::string(), modelId,
                  path);
}

void OrsaROIRuntime::downloadPackage(const std::shared_ptr<ResourceManager>& manager,
                                     const std::string& url, const std::string& modelId,
                                     const std::string& path) {
  std::weak_ptr<OrsaROIRuntime> weak = shared_from_this();
  // The downloader lives on the main queue; a host may start the runtime from another thread.
  runOnMainQueue([weak, manager, url, modelId, path] {
    ORSA_LOG_INFO(M, "[load resource][%s]start download now, url: %s", orsaLogClip(modelId),
                  orsaLogClip(url));
    auto downloader = TRDownloader::downloader();
    ORSA_LOG_INFO(M, "[load resource][%s] Current cellular access: %s", orsaLogClip(modelId),
                  downloader->allowsCellularAccess() ? "YES" : "NO");
    downloader->setAllowsCellularAccess(true);
    ORSA_LOG_INFO(M, "[load resource][%s] Set cellular access to YES, waiting for session ready...",
                  orsaLogClip(modelId));
    mainQueue()->asyncAfter(std::chrono::milliseconds(50), [weak, manager, url, modelId, path] {
      auto self = weak.lock();
      if (!self || !self->isRunning_.load()) return;
      ORSA_LOG_INFO(M, "[load resource][%s] Creating download task after delay",
                    orsaLogClip(modelId));
      auto progress = [weak, modelId](const TRProgress& p, const std::shared_ptr<TRDownloadTask>&) {
        if (!weak.lock()) return;
        ORSA_LOG_INFO(M, "[load resource][%s] download progress: %f", orsaLogClip(modelId),
                      p.fractionCompleted());
      };
      auto completion = [weak, manager, url, modelId, path](
                            const std::optional<std::string>& localPath,
                            const std::optional<orsa::platform::Error>& error) {
        auto self = weak.lock();
        if (!self) return;
        self->onPackageDownloaded(manager, url, modelId, path, localPath, error);
      };
      // One task per package URL: a download an earlier run left unfinished continues from
      // what it had received.
      auto task = TRDownloader::downloader()->downloadTaskForUrl(url, kPackageTaskFileId, progress,
                                                                 completion);
      // A broken-off download keeps what it received for the next start, but this start has no
      // package: the host is told now rather than left waiting.
      task->setInterruptionHandler(
          [weak, manager, url, modelId, path](const orsa::platform::Error& error) {
            if (auto self = weak.lock())
              self->onPackageDownloaded(manager, url, modelId, path, std::nullopt, error);
          });
      {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->downloadTask_ = task;
      }
      ORSA_LOG_INFO(M, "[load resource][%s] Starting download task", orsaLogClip(modelId));
      TRDownloader::downloader()->resumeTask(task);
    });
  });
}

void OrsaROIRuntime::onPackageDownloaded(const std::shared_ptr<ResourceManager>& manager,
                                         const std::string& url, const std::string& modelId,
                                         const std::string& path,
                                         const std::optional<std::string>& localPath,
                                         const std::optional<orsa::platform::Error>& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    downloadTask_.reset();
  }
  if (error || !localPath) {
    const int64_t code = error ? error->code : 0;
    const std::string reason = error ? error->domain : std::string("no file");
    ORSA_LOG_ERROR(M, "[load resource][%s] download failed, url: %s, error: %lld %s",
                   orsaLogClip(modelId), orsaLogClip(url), static_cast<long long>(code),
                   orsaLogClip(reason));
    // Without a package nothing can be prepared: the host learns why, and the preparation wait
    // ends instead of holding the runtime for ever.
    reportResourceError(fmt::format("Resource package download failed: {} {}", code, reason));
    releaseWait(kOrsaErrorResource);
    return;
  }
  ORSA_LOG_INFO(M, "[load resource][%s] download success: %s", orsaLogClip(modelId),
                orsaLogClip(*localPath));
  // Copied under another name and renamed into place, so that a copy cut short is never
  // taken for the package by the next start.
  std::error_code ec;
  const std::string partial = path + ".copying";
  if (std::filesystem::copy_file(*localPath, partial,
                                 std::filesystem::copy_options::overwrite_existing, ec)) {
    std::filesystem::rename(partial, path, ec);
  }
  if (ec) std::filesystem::remove(partial, ec);
  // A failed copy leaves no file, and preparation reports the missing package.
  manager->setResource(path, shared_from_this());
}

void OrsaROIRuntime::onSetResourceSuccess() {
  releaseWait(0);
}

void OrsaROIRuntime::onSetResourceFailed(int64_t errorCode) {
  auto manager = resourceManager();
  const std::string reason = manager ? manager->lastFailureReason() : std::string();
  reportResourceError("Resource package preparation failed: " +
                      (reason.empty() ? std::string("unknown reason") : reason));
  releaseWait(errorCode);
}

void OrsaROIRuntime::reportResourceError(const std::string& message) {
  if (!isRunning_.load() || resourceErrorReported_.exchange(true)) return;
  reportError(kOrsaErrorResource, message);
}

void OrsaROIRuntime::reportError(int32_t code, const std::string& message) {
  std::weak_ptr<OrsaROIRuntime> weak = weak_from_this();
  // Posted even from the main thread: the host may stop or start again from inside onError.
  mainQueue()->async([weak, code, message] {
    auto self = weak.lock();
    if (!self || !self->isRunning_.load()) return;
    std::string modelId;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      modelId = self->modelId_;
    }
    auto delegate = self->delegate();
    if (!delegate) return;
    ORSA_LOG_INFO(M, "[callback][%s] onError: %d %s", orsaLogClip(modelId), code,
                  orsaLogClip(message));
    delegate->onError(code, message);
  });
}

void OrsaROIRuntime::loadMask(const std::shared_ptr<OrsaPreviewView>& view) {
  auto manager = resourceManager();
  auto border = manager ? manager->getBorderPath() : std::nullopt;
  if (border) view->loadMaskTexture(*border);
}

bool OrsaROIRuntime::prepared() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prepared_;
}

void OrsaROIRuntime::releaseWait(int64_t result) {
  setResourceResult_.store(result);
  sem_->signal();
}

void OrsaROIRuntime::attach(const std::shared_ptr<OrsaView>& view) {
  std::string modelId;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    modelId = modelId_;
  }
  ORSA_LOG_INFO(M, "[attach][%s] attach view: %s", orsaLogClip(modelId),
                orsaLogClip(describe(view)));
  auto preview = std::dynamic_pointer_cast<OrsaPreviewView>(view);
  if (!preview) return;
  if (preview->stopped()) {
    // Kept by the facade across a stop, or stopped by the host: it will never draw again.
    ORSA_LOG_ERROR(M, "[attach][%s] the view was stopped", orsaLogClip(modelId));
    reportError(kOrsaErrorViewStopped,
                "The attached view was stopped and cannot draw again; attach a new view");
    return;
  }
  bool prepared;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    orsaPreviewView_ = preview;
    prepared = prepared_;
  }
  std::weak_ptr<OrsaROIRuntime> weak = shared_from_this();
  auto& core = OrsaPreviewViewCore::of(*preview);
  core.setFailureCallback([weak](const std::string& reason) {
    if (auto self = weak.lock()) {
      self->reportError(kOrsaErrorViewCannotDraw, "The view cannot draw: " + reason);
    }
  });
  if (prepared) {
    // Preparation ended before this view came: nobody else gives it the mask. Decoding it is
    // no work for the main thread.
    orsa::platform::globalQueue()->async(
        [weak, weakView = std::weak_ptr<OrsaPreviewView>(preview)] {
          auto self = weak.lock();
          auto view = weakView.lock();
          if (self && view && self->isRunning_.load()) self->loadMask(view);
        });
  }
  core.setFirstFrameCallback([weak, modelId] {
    if (!weak.lock()) return;
    ORSA_LOG_INFO(M, "[render][%s] onFirstFrameRender", orsaLogClip(modelId));
    mainQueue()->async([weak, modelId] {
      auto self = weak.lock();
      if (!self || !self->isRunning_.load()) return;
      auto delegate = self->delegate();
      if (!delegate) return;
      ORSA_LOG_INFO(M, "[callback][%s] onSurfaceFirstFrameDraw", orsaLogClip(modelId));
      delegate->onSurfaceFirstFrameDraw();
    });
  });
}

void OrsaROIRuntime::onPlayerSyncRecvSEI(const std::string& streamID,
                                         std::span<const uint8_t> data) {
  if (!isRunning_.load() || streamID != streamId_) return;
  auto frame = std::make_shared<OrsaFrameData>();
  // A refused record would place its frame on background 0 with an empty head: a visible
  // flash. Its frame is refused instead.
  seiRefused_ = frame->updateSEI(data.data(), data.size()) != OrsaFrameData::SEIStatus::Ok;
  currentFrameData_ = seiRefused_ ? nullptr : std::move(frame);
}

void OrsaROIRuntime::refuse() {
  refused_.fetch_add(1);
}

void OrsaROIRuntime::onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                               std::span<const uint32_t> dataLength,
                                               const QMXVideoFrameParam& param,
                                               const std::string& streamID) {
  if (!isRunning_.load() || streamID != streamId_) return;
  received_.fetch_add(1);
  auto frame = std::move(currentFrameData_);
  currentFrameData_.reset();
  seiRefused_ = false;
  // No record (no SEI since the last frame, or a refused one), or one whose placement is empty
  // on any background (right of or above the origin, or turned over): nothing to read for.
  if (!frame || frame->right() <= std::max<int64_t>(frame->left(), 0) ||
      frame->bottom() <= std::max<int64_t>(frame->top(), 0)) {
    return refuse();
  }
  if (data.empty() || dataLength.empty()) return refuse();
  // A decoder's padded rows are packed while copying.
  if (frame->updateROIFrame(data[0], dataLength[0], param.width(), param.height(),
                            param.strideAtIndex(0)) != OrsaFrameData::ROIStatus::Ok) {
    return refuse();
  }
  frame->setSequence(lastSequence_.fetch_add(1) + 1);
  frame->setReceiveTime(orsa::platform::currentMillis());
  drawFrame(std::move(frame));
}

void OrsaROIRuntime::drawFrame(std::shared_ptr<OrsaFrameData> frame) {
  if (!frame || !frame->roiData() || frame->roiWidth() == 0 || frame->roiHeight() == 0) {
    if (frame) frame->giveBackBuffers();
    return refuse();
  }
  readLine_->push(std::move(frame));
}

bool OrsaROIRuntime::readBackground(const std::shared_ptr<OrsaFrameData>& frame) {
  std::shared_ptr<Image> image;
  // Without a view the decode would be wasted.
  if (isRunning_.load() && previewView()) {
    std::shared_ptr<OrsaFrameSource> reader;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reader = backgroundReader_ ? backgroundReader_ : resourceManager_;
    }
    if (reader) image = reader->readOriginFrame(static_cast<int32_t>(frame->frameIndex()));
  }
  if (!image) {
    // Dropped: the head's buffer goes back rather than being freed.
    frame->giveBackBuffers();
    return false;
  }
  frame->updateOriginFrame(image->data(), image->width(), image->height());
  return true;
}

bool OrsaROIRuntime::viewHasRoom(size_t reading) const {
  auto view = previewView();
  // A stopped view drains nothing; what reaches it is discarded and counted there.
  return !view || view->stopped() ||
         OrsaPreviewViewCore::of(*view).queuedFrameCount() + reading <
             static_cast<size_t>(MAX_RENDER_QUEUE_SIZE);
}

void OrsaROIRuntime::handToView(std::shared_ptr<OrsaFrameData> frame) {
  auto view = isRunning_.load() ? previewView() : nullptr;
  if (!view) {
    readLine_->droppedAtRead.fetch_add(1);
    frame->giveBackBuffers();
    return;
  }
  readLine_->handedToView.fetch_add(1);
  OrsaPreviewViewCore::of(*view).update(std::move(frame));
}

void OrsaROIRuntime::destroy() {
  std::shared_ptr<OrsaPreviewView> view;
  std::shared_ptr<ResourceManager> manager;
  std::string modelId, config;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    modelId = modelId_;
    config = config_ ? config_->string() : std::string("(null)");
  }
  ORSA_LOG_INFO(M, "[destroy][%s] destroy now, config: %s", orsaLogClip(modelId),
                orsaLogClip(config));
  // Intake and reads that come from now on are ignored.
  isRunning_.store(false);
  readLine_->stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view = orsaPreviewView_.lock();
    orsaPreviewView_.reset();
    manager = std::move(resourceManager_);
    resourceManager_.reset();
    backgroundReader_.reset();
  }
  if (view) view->stop();
  cancelDownload();
  // A preparation task still queued in the manager finds it gone and stops; a running one
  // holds it until it ends.
  manager.reset();
  BufferPool::sharedInstance().clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_.reset();
  }
  // Ends the preparation wait, which would otherwise hold this runtime for ever.
  releaseWait(kDestroyedResult);
}

void OrsaROIRuntime::cancelDownload() {
  std::shared_ptr<TRDownloadTask> task;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task = std::move(downloadTask_);
    downloadTask_.reset();
  }
  if (!task) return;
  // Paused, not cancelled: the next start continues from what arrived so far.
  runOnMainQueue([task] {
    task->setInterruptionHandler(nullptr);
    TRDownloader::downloader()->pauseTask(task);
  });
}

std::shared_ptr<ResourceManager> OrsaROIRuntime::resourceManager() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resourceManager_;
}

std::shared_ptr<OrsaPreviewView> OrsaROIRuntime::previewView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orsaPreviewView_.lock();
}

std::shared_ptr<OrsaMireloDelegate> OrsaROIRuntime::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}
