#include "OrsaRuntimeFactory.h"

#include <mutex>

#include "OrsaNormalRuntime.h"
#include "OrsaROIRuntime.h"
#include "logging/QMXLogUtil.h"

namespace {

constexpr char kModule[] = "OrsaRuntimeFactory";

std::shared_ptr<IOrsaMireloRuntime> builtInFactory(OrsaRuntimeKind kind,
                                                   const std::shared_ptr<OrsaMireloConfig>&) {
  if (kind == OrsaRuntimeKind::ROI) return OrsaROIRuntime::create();
  return OrsaNormalRuntime::create();
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
