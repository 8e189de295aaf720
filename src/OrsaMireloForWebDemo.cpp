#include "orsa/OrsaMireloForWebDemo.h"

#include <fmt/format.h>

#include <condition_variable>
#include <deque>
#include <optional>
#include <utility>

#include "OrsaLogClip.h"
#include "OrsaMireloForWebDemoPrivate.h"
#include "logging/QMXLogUtil.h"
#include "net/DHBackendConnector.h"
#include "orsa/OrsaConstants.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/Dispatch.h"
#include "render/BufferPool.h"
#include "render/OrsaPreviewViewCore.h"
#include "utils/ResourceManager.h"

namespace {
constexpr const char* M = OrsaMireloForWebDemo::kModule;
constexpr const char* kPreparationFailedMessage = "Failed to prepare the resource package";
}  // namespace

// The preparation results as a counting semaphore would hold them, plus what else may end a
// waiting start: a stop after the start (a new stop generation) or the front end's end. Shared
// with the start task so that the front end can go away under it.
struct OrsaMireloForWebDemoPrivate::Results {
  std::mutex mutex;
  std::condition_variable changed;
  // Oldest first: each start takes the result that was there first, not merely the latest.
  std::deque<int64_t> pending;
  uint64_t stopGeneration = 0;
  bool gone = false;
  // Start tasks queued and not yet ended.
  int startTasks = 0;

  void add(int64_t result) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      pending.push_back(result);
    }
    changed.notify_all();
  }
  void endWaits(bool frontEndGone) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++stopGeneration;
      gone = gone || frontEndGone;
    }
    changed.notify_all();
  }
  uint64_t generation() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopGeneration;
  }
  void countTask(int delta) {
    std::lock_guard<std::mutex> lock(mutex);
    startTasks += delta;
  }
  // One result, or nothing when a stop or the front end's end came first.
  std::optional<int64_t> take(uint64_t generation) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return !pending.empty() || gone || stopGeneration != generation; });
    if (pending.empty() || gone || stopGeneration != generation) return std::nullopt;
    const int64_t setResourceResult = pending.front();
    pending.pop_front();
    return setResourceResult;
  }
};

void OrsaMireloForWebDemo::setBackendBaseURLs(const std::string& httpBaseURL,
                                              const std::string& webSocketBaseURL) {
  DHBackendConnector::setBaseURLs(httpBaseURL, webSocketBaseURL);
}

std::shared_ptr<OrsaMireloForWebDemo> OrsaMireloForWebDemo::create() {
  return std::make_shared<OrsaMireloForWebDemo>();
}

OrsaMireloForWebDemoPrivate::OrsaMireloForWebDemoPrivate()
    : results_(std::make_shared<Results>()) {}

OrsaMireloForWebDemo::OrsaMireloForWebDemo()
    : d_(std::make_shared<OrsaMireloForWebDemoPrivate>()) {}

OrsaMireloForWebDemo::~OrsaMireloForWebDemo() {
  d_->results_->endWaits(true);
  std::shared_ptr<DHBackendConnector> connector;
  std::shared_ptr<OrsaPreviewView> view;
  {
    std::lock_guard<std::mutex> lock(d_->mutex_);
    connector = std::exchange(d_->dhBackendConnector_, nullptr);
    view = std::exchange(d_->digitalHumanView_, nullptr);
  }
  // An owned connector still holding a backend task gives it back rather than leaking it.
  if (connector) connector->destroy();
  {
    // Waits for an announcement under way on another thread; none reaches the host after this.
    std::lock_guard<std::recursive_mutex> gate(d_->observerGate_);
    d_->silenced_ = true;
  }
  if (view) view->stop();
  BufferPool::sharedInstance().clear();
  ORSA_LOG_INFO(M, "OrsaMirelo dealloc");
}

void OrsaMireloForWebDemo::setResource(const std::string& path) {
  std::lock_guard<std::mutex> lock(d_->mutex_);
  d_->resourceManager_ = ResourceManager::create();
  if (!d_->prepareDelegate_)
    d_->prepareDelegate_ =
        std::make_shared<ForwardingResourceDelegate<OrsaMireloForWebDemoPrivate>>(d_);
  ORSA_LOG_INFO(M, "Resource Path: %s", orsaLogClip(path));
  d_->resourceManager_->setResource(path, d_->prepareDelegate_);
  if (d_->digitalHumanView_)
    OrsaPreviewViewCore::of(*d_->digitalHumanView_).setResourceManager(d_->resourceManager_);
}

void OrsaMireloForWebDemo::attach(std::shared_ptr<OrsaPreviewView> view) {
  std::lock_guard<std::mutex> lock(d_->mutex_);
  d_->digitalHumanView_ = std::move(view);
  if (d_->digitalHumanView_ && d_->resourceManager_)
    OrsaPreviewViewCore::of(*d_->digitalHumanView_).setResourceManager(d_->resourceManager_);
}

void OrsaMireloForWebDemo::startWithAppID(
    const std::string& appID, const std::string& appSign, const OrsaRTCOptions& rtcOptions,
    const std::string& modelID, const std::shared_ptr<OrsaMireloStartDelegate>& delegate) {
  ORSA_LOG_INFO(M, "start, appID: %s, modelID: %s, roomID: %s", orsaLogClip(appID),
                orsaLogClip(modelID), orsaLogClip(rtcOptions.roomID));
  std::shared_ptr<OrsaPreviewView> view;
  bool prepared = false;
  {
    std::lock_guard<std::mutex> lock(d_->mutex_);
    d_->delegate_ = delegate;
    d_->modelID_ = modelID;
    view = d_->digitalHumanView_;
    prepared = d_->resourceManager_ != nullptr;
  }
  if (view) {
    std::weak_ptr<OrsaMireloStartDelegate> weakDelegate = delegate;
    OrsaPreviewViewCore::of(*view).setFirstFrameCallback([weakDelegate] {
      if (auto d = weakDelegate.lock()) d->onMireloFirstFrameDraw();
    });
  }
  if (!prepared) {
    if (delegate) delegate->onMireloStartFail(kOrsaErrorResource, kNoResourceMessage);
    return;
  }
  // The generation is taken before the task is queued: a stop right after this call ends it.
  const uint64_t generation = d_->results_->generation();
  d_->stopped_ = false;
  {
    std::lock_guard<std::recursive_mutex> gate(d_->observerGate_);
    d_->silenced_ = false;
  }
  std::weak_ptr<OrsaMireloForWebDemoPrivate> weakSelf = d_;
  std::shared_ptr<OrsaMireloForWebDemoPrivate::Results> results = d_->results_;
  results->countTask(1);
  orsa::platform::globalQueue(orsa::platform::QoS::Default)
      ->async([weakSelf, results, generation, appID, appSign, rtcOptions] {
        struct Ended {
          OrsaMireloForWebDemoPrivate::Results& results;
          ~Ended() { results.countTask(-1); }
        } ended{*results};
        // A front end already gone has ended the wait too (Results::gone).
        const std::optional<int64_t> result = results->take(generation);
        if (!result) {
          ORSA_LOG_INFO(M, "Start ended before the resource was set");
          return;
        }
        ORSA_LOG_INFO(M, "Set resource finished, result: %ld", static_cast<long>(*result));
        auto self = weakSelf.lock();
        if (*result != 0) {
          ORSA_LOG_INFO(M, "Set resource failed");
          // The host hears of it: a start that can never connect must not leave it waiting.
          if (self) self->reportPreparationFailed(*result, generation);
          return;
        }
        if (self) self->runStart(appID, appSign, rtcOptions);
      });
}

void OrsaMireloForWebDemoPrivate::runStart(const std::string& appID, const std::string& appSign,
                                           const OrsaRTCOptions& rtcOptions) {
  std::shared_ptr<OrsaPreviewView> view;
  std::shared_ptr<ResourceManager> manager;
  std::string modelID;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    view = digitalHumanView_;
    manager = resourceManager_;
    modelID = modelID_;
  }
  if (view && manager) {
    if (auto border = manager->getBorderPath()) view->loadMaskTexture(*border);
  }
  std::weak_ptr<OrsaMireloForWebDemoPrivate> weakSelf = weak_from_this();
  auto connector = DHBackendConnector::initWithAppID(
      appID, appSign, modelID, rtcOptions.roomID, rtcOptions.outputStreamID,
      rtcOptions.inputVoiceStreamID,
      [weakSelf](uint64_t state, int32_t errorCode, const std::string& msg) {
        if (auto self = weakSelf.lock()) self->onConnectionState(state, errorCode, msg);
      });
  {
    // Checked again with the store: a stop in between must find the connector to destroy it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_) return;
    dhBackendConnector_ = connector;
  }
  connector->connect();
  bool takenByStop = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    takenByStop = dhBackendConnector_ != connector;
  }
  // A stop during connect destroyed the connector before connect announced itself; destroying
  // again makes the create-task answer count as late.
  if (takenByStop) connector->destroy();
}

void OrsaMireloForWebDemoPrivate::reportPreparationFailed(int64_t result, uint64_t generation) {
  auto d = delegate();
  if (!d) return;
  const std::string message =
      fmt::format("{} (preparation failed with code {})", kPreparationFailedMessage, result);
  std::weak_ptr<OrsaMireloForWebDemoPrivate> weakSelf = weak_from_this();
  orsa::platform::mainQueue()->async([weakSelf, d, message, generation] {
    // A stop since this start ended it: the host asked to hear nothing more.
    auto self = weakSelf.lock();
    if (!self || self->stopped_ || self->results_->generation() != generation) return;
    d->onMireloStartFail(kOrsaErrorResource, message);
  });
}

void OrsaMireloForWebDemoPrivate::onConnectionState(uint64_t state, int32_t errorCode,
                                                    const std::string& msg) {
  std::lock_guard<std::recursive_mutex> gate(observerGate_);
  if (silenced_) return;
  OrsaMireloForWebDemo::ConnectionStateObserver observer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    observer = observer_;
  }
  if (observer) observer(state, errorCode, msg);
  auto d = delegate();
  if (!d) return;
  if (state == DHBackendConnector::kStateConnected) {
    orsa::platform::mainQueue()->async([d] { d->onMireloStartSuccess(); });
  } else if (state == DHBackendConnector::kStateFailed) {
    orsa::platform::mainQueue()->async([d, msg] { d->onMireloStartFail(kOrsaErrorRefused, msg); });
  }
}

void OrsaMireloForWebDemo::stop() {
  ORSA_LOG_INFO(M, "stop");
  std::shared_ptr<DHBackendConnector> connector;
  std::shared_ptr<OrsaPreviewView> view;
  {
    std::lock_guard<std::mutex> lock(d_->mutex_);
    d_->stopped_ = true;
    connector = std::exchange(d_->dhBackendConnector_, nullptr);
    d_->modelID_.clear();
    view = std::exchange(d_->digitalHumanView_, nullptr);
    d_->delegate_.reset();
  }
  d_->results_->endWaits(false);
  // Outside the lock: destroy announces state 4 to our listener on this thread.
  if (connector) connector->destroy();
  {
    // Waits for an announcement under way on another thread; none reaches the host after this.
    std::lock_guard<std::recursive_mutex> gate(d_->observerGate_);
    d_->silenced_ = true;
  }
  if (view) view->stop();
}

void OrsaMireloForWebDemo::notifyInitListener(int32_t errorCode, const std::string& msg) {
  ORSA_LOG_INFO(M, "notify init result, errorCode: %d, msg: %s", errorCode, orsaLogClip(msg));
  std::weak_ptr<OrsaMireloForWebDemoPrivate> weakSelf = d_;
  orsa::platform::mainQueue()->async([weakSelf, errorCode, msg] {
    auto self = weakSelf.lock();
    if (!self || self->stopped_) return;
    auto d = self->delegate();
    if (!d) return;
    if (errorCode != 0)
      d->onMireloStartFail(errorCode, msg);
    else
      d->onMireloStartSuccess();
  });
}

void OrsaMireloForWebDemoPrivate::onSetResourceSuccess() {
  results_->add(0);
}

void OrsaMireloForWebDemoPrivate::onSetResourceFailed(int64_t code) {
  results_->add(code);
}

void OrsaMireloForWebDemo::setConnectionStateObserver(ConnectionStateObserver observer) {
  std::lock_guard<std::mutex> lock(d_->mutex_);
  d_->observer_ = std::move(observer);
}

bool OrsaMireloForWebDemo::stopped() const {
  return d_->stopped_.load();
}

std::string OrsaMireloForWebDemo::modelID() const {
  std::lock_guard<std::mutex> lock(d_->mutex_);
  return d_->modelID_;
}

std::shared_ptr<OrsaPreviewView> OrsaMireloForWebDemo::digitalHumanView() const {
  std::lock_guard<std::mutex> lock(d_->mutex_);
  return d_->digitalHumanView_;
}

int OrsaMireloForWebDemoPrivate::startTasks() const {
  std::lock_guard<std::mutex> lock(results_->mutex);
  return results_->startTasks;
}

std::shared_ptr<ResourceManager> OrsaMireloForWebDemoPrivate::resourceManager() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resourceManager_;
}

std::shared_ptr<DHBackendConnector> OrsaMireloForWebDemoPrivate::dhBackendConnector() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dhBackendConnector_;
}

std::shared_ptr<OrsaMireloStartDelegate> OrsaMireloForWebDemoPrivate::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}
