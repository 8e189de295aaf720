#pragma once

#include <functional>
#include <memory>

#include "IOrsaMireloRuntime.h"
#include "orsa/OrsaMireloConfig.h"

// The two runtimes the facade chooses between by the fit stream's platform.
enum class OrsaRuntimeKind {
  ROI,     // "mobile": composites the received head over the local package's frames
  Normal,  // anything else
};

const char* orsaRuntimeKindName(OrsaRuntimeKind kind);

// Constructs a runtime of the given kind for a decoded configuration (the facade then calls
// its initWithConfig). Null when no runtime can be made.
using OrsaRuntimeFactory = std::function<std::shared_ptr<IOrsaMireloRuntime>(
    OrsaRuntimeKind kind, const std::shared_ptr<OrsaMireloConfig>& config)>;

// The one place where the facade gets its runtimes, so the runtime classes can be swapped (by
// the library when it registers its runtimes, by tests for recording doubles). An empty
// function restores the built-in factory.
void setOrsaRuntimeFactory(OrsaRuntimeFactory factory);

// Runs the current factory. Never throws: a factory that throws counts as one returning null.
std::shared_ptr<IOrsaMireloRuntime> makeOrsaRuntime(
    OrsaRuntimeKind kind, const std::shared_ptr<OrsaMireloConfig>& config);
