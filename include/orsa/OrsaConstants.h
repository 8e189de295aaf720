#pragma once

#include <cstdint>

#include "orsa/OrsaExport.h"

// Constants a host may read. They are plain compile-time values so that every part of the
// library (and the host) can use them without linking anything.

// The platform value of a stream that carries only the head region; it selects the
// compositing runtime. Compared exactly and case-sensitively.
inline constexpr char STREAM_TYPE_MOBILE[] = "mobile";
// The platform value of a stream meant for the web. Any platform other than STREAM_TYPE_MOBILE
// selects the normal runtime.
inline constexpr char STREAM_TYPE_WEB[] = "web";
// Module name of the video-frame extraction code in log lines.
inline constexpr char FILTER_NAME[] = "DataCodec";
// Error domain exported for hosts that wrap the library's failure codes in their own errors.
inline constexpr char ERROR_DOMAIN[] = "com.orsamirelo.engine.error";
// How many frames a preview view queues before it drops the oldest.
inline constexpr int32_t MAX_RENDER_QUEUE_SIZE = 5;

// Failure codes the engine and its front ends report to their delegates, with a message that
// names the cause.
// A start configuration that cannot be decoded.
inline constexpr int32_t kOrsaErrorConfigDecode = -200000;
// A resource package that cannot be found, downloaded or prepared. The same value as a bad
// configuration: hosts have always seen -200000 for both.
inline constexpr int32_t kOrsaErrorResource = -200000;
// The service refused the start: the meta human cannot be composited on this device.
inline constexpr int32_t kOrsaErrorRefused = -200001;
// start() while a runtime is running.
inline constexpr int32_t kOrsaErrorStartDuplicated = -200006;
// The attached view cannot draw: no GL context, no shader library, or a mask that does not
// load. Reported once per view.
inline constexpr int32_t kOrsaErrorViewCannotDraw = -200010;
// The attached view was stopped by an earlier stop(); attach a new view to draw again.
inline constexpr int32_t kOrsaErrorViewStopped = -200011;
// The web-demo backend answered a create-task request with a task the front end cannot use:
// no task_id (or an empty one), or a ws_port that is not a whole number from 1 to 65535. The
// connection-state observer sees it with state 3 (failed); the start delegate gets -200001 with
// a message naming the fault. A task that did get an id is destroyed again at once.
inline constexpr int32_t kOrsaErrorBackendTaskInvalid = 97800004;

// Version symbols of the library, with C linkage so that tools looking for them by name
// (what(1) reads the "@(#)" marker) find them.
extern "C" {
ORSA_EXPORT extern const double OrsaMireloVersionNumber;
ORSA_EXPORT extern const unsigned char OrsaMireloVersionString[];
}
