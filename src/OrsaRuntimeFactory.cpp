#include "OrsaRuntimeFactory.h"

#include <mutex>

#include "logging/QMXLogUtil.h"

namespace {

constexpr char kModule[] = "OrsaRuntimeFactory";

// Until the runtimes register themselves there is nothing to construct; the facade treats the
// null as a start that cannot proceed.
std::shared_ptr<IOrsaMireloRuntime> builtInFactory(OrsaRuntimeKind kind,
                                                   const std::shared_ptr<OrsaMireloConfig>&) {
  ORSA_LOG_ERROR(kModule, "no runtime available for kind %s", orsaRuntimeKindName(kind));
  return nullptr;
}

std::mutex& factoryMutex() {
  static std::mutex m;
  return m;
}

OrsaRuntimeFactory& factorySlot() {
  static OrsaRuntimeFactory f = builtInFactory;
  return f;
}

}  // namespace

const char* orsaRuntimeKindName(OrsaRuntimeKind kind) {
  switch (kind) {
    case OrsaRuntimeKind::ROI:
      return "OrsaROIRuntime";
    case OrsaRuntimeKind::Normal:
      return "OrsaNormalRuntime";
  }
  return "unknown";
}

void setOrsaRuntimeFactory(OrsaRuntimeFactory factory) {
  std::lock_guard<std::mutex> lock(factoryMutex());
  factorySlot() = factory ? std::move(factory) : OrsaRuntimeFactory(builtInFactory);
}

std::shared_ptr<IOrsaMireloRuntime> makeOrsaRuntime(
    OrsaRuntimeKind kind, const std::shared_ptr<OrsaMireloConfig>& config) {
  OrsaRuntimeFactory factory;
  {
    // Copied out so that a factory may itself replace the factory without deadlocking.
    std::lock_guard<std::mutex> lock(factoryMutex());
    factory = factorySlot();
  }
  try {
    return factory(kind, config);
  } catch (const std::exception& e) {
    ORSA_LOG_ERROR(kModule, "creating %s failed: %s", orsaRuntimeKindName(kind), e.what());
  } catch (...) {
    ORSA_LOG_ERROR(kModule, "creating %s failed", orsaRuntimeKindName(kind));
  }
  return nullptr;
}
