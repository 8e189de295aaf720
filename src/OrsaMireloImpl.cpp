#include "OrsaMireloImpl.h"

#include <fmt/format.h>

#include "OrsaLogClip.h"
#include "OrsaMireloConfigDecoder.h"
#include "OrsaRuntimeFactory.h"
#include "logging/QMXLogUtil.h"
#include "orsa/OrsaConstants.h"
#include "platform/Console.h"

namespace {

constexpr char kModule[] = "OrsaMireloImpl";

std::string describe(const std::shared_ptr<OrsaView>& view) {
  return view ? view->description() : std::string("(null)");
}

std::string describe(const std::shared_ptr<IOrsaMireloRuntime>& runtime) {
  return runtime ? fmt::format("{}", static_cast<const void*>(runtime.get()))
                 : std::string("(null)");
}

void report(const std::shared_ptr<OrsaMireloDelegate>& delegate, int32_t code,
            const std::string& message) {
  if (delegate) delegate->onError(code, message);
}

}  // namespace

OrsaMireloImpl::OrsaMireloImpl() = default;

OrsaMireloImpl::~OrsaMireloImpl() {
  // The runtime is released without destroy(): the host stops the engine before dropping it.
  orsa::platform::consoleWrite("OrsaMireloImpl dealloc ... ");
}

std::shared_ptr<IOrsaMireloRuntime> OrsaMireloImpl::currentRuntime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentRuntime_;
}

std::shared_ptr<OrsaView> OrsaMireloImpl::previewView() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return previewView_.lock();
}

void OrsaMireloImpl::start(const std::string& config,
                           const std::shared_ptr<OrsaMireloDelegate>& delegate) {
  ORSA_LOG_INFO(kModule, "[start] config: %s", orsaLogClip(config));
  if (currentRuntime()) {
    ORSA_LOG_ERROR(kModule, "[start] error, runtime is not null");
    report(delegate, kOrsaErrorStartDuplicated, "start duplicated, call stop first");
    return;
  }

  std::shared_ptr<OrsaMireloConfig> decoded = OrsaMireloConfigDecoder::decode(config);
  if (!decoded) {
    ORSA_LOG_ERROR(kModule, "[start] error, config decode error");
    report(delegate, kOrsaErrorConfigDecode, "config decode error");
    return;
  }
  const std::string description = orsaLogClip(decoded->string());
  ORSA_LOG_INFO(kModule, "[start] config: %s", description);

  // A decoded configuration always has a fit stream (validity requires one).
  auto fit = decoded->getFitStream();
  const std::string& modelId = *decoded->digitalHumanId();
  OrsaRuntimeKind kind = OrsaRuntimeKind::Normal;
  if (fit && fit->configId() && *fit->configId() == STREAM_TYPE_MOBILE) {
    ORSA_LOG_INFO(kModule, "[start] create roi runtime, model id: %s", orsaLogClip(modelId));
    kind = OrsaRuntimeKind::ROI;
  } else {
    ORSA_LOG_INFO(kModule, "[start] create normal runtime, model id: %s", orsaLogClip(modelId));
  }

  std::shared_ptr<IOrsaMireloRuntime> runtime = makeOrsaRuntime(kind, decoded);
  if (!runtime) {
    // The engine stays idle, so a later start can succeed.
    ORSA_LOG_ERROR(kModule, "[start] error, create runtime failed, model id: %s",
                   orsaLogClip(modelId));
    report(delegate, kOrsaErrorConfigDecode, "create runtime failed");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Only another start racing this one (from a thread other than the main one) gets here.
    if (currentRuntime_) {
      runtime.reset();
    } else {
      currentRuntime_ = runtime;
    }
  }
  if (!runtime) {
    ORSA_LOG_ERROR(kModule, "[start] error, runtime is not null");
    report(delegate, kOrsaErrorStartDuplicated, "start duplicated, call stop first");
    return;
  }
  runtime->initWithConfig(decoded, delegate);

  if (auto view = previewView()) attach(view);
  ORSA_LOG_INFO(kModule, "[start] finish, config: %s", description);
}

void OrsaMireloImpl::attach(const std::shared_ptr<OrsaView>& view) {
  std::shared_ptr<IOrsaMireloRuntime> runtime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previewView_ = view;
    runtime = currentRuntime_;
  }
  ORSA_LOG_INFO(kModule, "[attach] attach view: %s, runtime: %s", describe(view),
                describe(runtime));
  if (runtime) runtime->attach(view);
}

void OrsaMireloImpl::onRemoteVideoFrameRawData(std::span<const uint8_t* const> data,
                                               std::span<const uint32_t> dataLength,
                                               const QMXVideoFrameParam& param,
                                               const std::string& streamID) {
  // Held for the whole call: stop() on the main thread may drop the facade's reference now.
  if (auto runtime = currentRuntime()) {
    runtime->onRemoteVideoFrameRawData(data, dataLength, param, streamID);
  }
}

void OrsaMireloImpl::onPlayerSyncRecvSEI(const std::string& streamID,
                                         std::span<const uint8_t> data) {
  if (auto runtime = currentRuntime()) runtime->onPlayerSyncRecvSEI(streamID, data);
}

void OrsaMireloImpl::stop() {
  ORSA_LOG_INFO(kModule, "[stop] stop now");
  std::shared_ptr<IOrsaMireloRuntime> runtime;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    runtime = std::move(currentRuntime_);
    currentRuntime_.reset();
  }
  if (runtime) runtime->destroy();
}
