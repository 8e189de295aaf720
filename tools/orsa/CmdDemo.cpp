// orsa demo: the digital human end to end. A start configuration goes into the engine, a
// simulated RTC sender feeds it SEI and head pictures, the engine composites them into a
// preview view, and what the view presents is recorded as a video, a contact sheet and
// statistics.
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Command.h"
#include "DemoRecorder.h"
#include "DemoWindow.h"
#include "FrontEndHost.h"
#include "OrsaMireloConfigEncoder.h"
#include "OrsaMireloImpl.h"
#include "OrsaROIRuntime.h"
#include "SimulatedSender.h"
#include "StreamReceiver.h"
#include "orsa/IOrsaMirelo.h"
#include "orsa/OrsaHeadPreviewView.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "render/BufferPool.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/GlRenderBackend.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;
using orsa::platform::AppContainer;
using orsa::platform::MainLoop;

namespace orsa::tool {
namespace {

constexpr const char* kUsage =
    "demo [--package ZIP | --package-url URL] [--seconds S] [--fps F] [--out DIR] [--layer "
    "WxH@SCALE] "
    "[--head-view] [--window] [--no-record] [--input SDP_OR_FILE]";
constexpr const char* kStreamId = "demo-stream";
constexpr auto kPrepareTimeout = std::chrono::seconds(120);
constexpr auto kEngineReadyTimeout = std::chrono::seconds(60);
// A package the engine downloads itself: the transfer, then its preparation.
constexpr auto kDownloadReadyTimeout = std::chrono::seconds(600);

struct Options {
  std::string package;
  std::string packageUrl;
  double seconds = 10;
  int32_t fps = 0;  // 0: the package's
  std::string out = "orsa-demo-out";
  OrsaSize layer{360, 640};
  double scale = 1;
  bool headView = false;
  bool window = false;
  bool record = true;  // off for benchmarks: the H.264 encoder would dominate the CPU figures
  // A received H.264 stream (an SDP) or a recording instead of the simulated sender; --seconds
  // then bounds the receiving only when given.
  std::string input;
  bool secondsGiven = false;
};

double processCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

constexpr Usage usage{"demo", kUsage};
constexpr Failure fail{"demo"};

bool parseLayer(const std::string& text, OrsaSize& size, double& scale) {
  return orsa::tool::parseLayer(text, size.width, size.height, scale) && size.width >= 1 &&
         size.height >= 1 && scale > 0 && size.width * scale <= 8192 && size.height * scale <= 8192;
}

std::optional<int> parse(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--head-view" || a == "--window") {
      (a == "--window" ? o.window : o.headView) = true;
      continue;
    }
    if (a == "--no-record") {
      o.record = false;
      continue;
    }
    if (i + 1 >= args.size()) return usage("unknown argument or missing value: " + a);
    const std::string& v = args[++i];
    if (a == "--package") {
      o.package = v;
    } else if (a == "--package-url") {
      o.packageUrl = v;
    } else if (a == "--out") {
      o.out = v;
    } else if (a == "--seconds") {
      auto s = parseNumber(v, 0.1, 3600);
      if (!s) return usage("--seconds takes a number from 0.1 to 3600");
      o.seconds = *s;
      o.secondsGiven = true;
    } else if (a == "--input") {
      o.input = v;
    } else if (a == "--fps") {
      auto f = parseNumber(v, 1, 120);
      if (!f || *f != static_cast<int32_t>(*f)) return usage("--fps takes a whole number 1-120");
      o.fps = static_cast<int32_t>(*f);
    } else if (a == "--layer") {
      if (!parseLayer(v, o.layer, o.scale)) return usage("--layer takes WxH@SCALE, e.g. 360x640@1");
    } else {
      return usage("unknown argument " + a);
    }
  }
  if (o.out.empty()) return usage("--out needs a folder");
  if (!o.input.empty() && o.package.empty()) return usage("--input needs the stream's --package");
  if (!o.package.empty() && !o.packageUrl.empty())
    return usage("--package and --package-url exclude each other");
  return std::nullopt;
}

// Puts the package where the runtime looks for it (`local`, named by its URL). Copied whole
// under a temporary name, then renamed into place.
bool placeForRuntime(const std::string& package, const std::string& local, std::string& error) {
  std::error_code ec;
  fs::create_directories(fs::path(local).parent_path(), ec);
  if (fs::equivalent(package, local, ec)) return true;
  const std::string partial = local + ".copying";
  if (!fs::copy_file(package, partial, fs::copy_options::overwrite_existing, ec) ||
      (fs::rename(partial, local, ec), ec)) {
    fs::remove(partial, ec);
    error = "cannot copy the package to " + local;
    return false;
  }
  return true;
}

class PrepareResult : public ResourceManagerDelegate {
 public:
  void onSetResourceSuccess() override { result = 1; }
  void onSetResourceFailed(int64_t) override { result = 2; }
  std::atomic<int> result{0};
};

// Prepares the package into the cache (as the runtime will, which then finds it prepared),
// with progress on standard error.
std::shared_ptr<ResourceManager> prepare(const std::string& local, std::string& error) {
  auto manager = ResourceManager::create();
  auto delegate = std::make_shared<PrepareResult>();
  manager->setResource(local, delegate);
  const auto deadline = std::chrono::steady_clock::now() + kPrepareTimeout;
  std::string last;
  while (delegate->result == 0 && std::chrono::steady_clock::now() < deadline) {
    MainLoop::runUntil([&] { return delegate->result != 0; }, std::chrono::milliseconds(250));
    std::string line;
    std::error_code ec;
    size_t frames = 0;
    const std::string dir = manager->originFramesDir();
    for (auto it = fs::directory_iterator(dir, ec); !dir.empty() && !ec && it != fs::end(it);
         it.increment(ec))
      ++frames;
    if (frames > 0) {
      line = "preparing the package: " + std::to_string(frames) + " origin frames";
    } else if (!manager->resourceDir().empty()) {
      line = "preparing the package: unpacking";
    }
    if (!line.empty() && line != last) std::fprintf(stderr, "%s\n", line.c_str());
    last = line;
  }
  if (delegate->result != 1) {
    manager->cancel();
    error = delegate->result == 0 ? "the package was not prepared in time"
                                  : "the package cannot be prepared (not a resource package, "
                                    "or its videos cannot be decoded; see 'orsa package inspect')";
    return nullptr;
  }
  std::fprintf(stderr, "package prepared: %s\n", manager->resourceDir().c_str());
  return manager;
}

class DemoDelegate : public OrsaMireloDelegate {
 public:
  void onError(int32_t code, const std::string& message) override {
    error = message + " (" + std::to_string(code) + ")";
  }
  void onSurfaceFirstFrameDraw() override {
    int64_t expected = 0;
    firstFrameAt.compare_exchange_strong(expected, orsa::platform::currentMillis());
  }
  std::string error;
  std::atomic<int64_t> firstFrameAt{0};
};

OrsaMireloConfig startConfiguration(const std::string& packageUrl) {
  OrsaMireloStream stream;
  stream.setRoomId("demo-room");
  stream.setStreamId(kStreamId);
  stream.setEncodeCode("h264");
  stream.setPackageUrl(packageUrl);
  stream.setConfigId("mobile");
  OrsaMireloConfig config;
  config.setDigitalHumanId("demo-human");
  config.setStreams(OrsaMireloConfig::Streams{stream});
  return config;
}

// Ends the view's consumer before the process does.
void stopView(OrsaPreviewView& view) {
  view.setPresentationSink(nullptr);
  view.stopAndWait(std::chrono::seconds(2));
}

int runDemo(const std::vector<std::string>& args) {
  Options o;
  if (auto code = parse(args, o)) return *code;
  std::string error;
  if (!o.packageUrl.empty()) {
    // The engine downloads the package itself and prepares it where it keeps packages.
  } else if (o.package.empty()) {
    auto made = samplePackage(error);
    if (!made) return fail(error);
    o.package = *made;
  } else if (std::error_code ec; !fs::is_regular_file(o.package, ec)) {
    return fail(o.package + ": no such package file");
  }
  std::shared_ptr<StreamReceiver> receiver;
  if (!o.input.empty()) {
    StreamReceiver::Limits limits;
    if (o.secondsGiven) limits.totalMs = static_cast<int64_t>(o.seconds * 1000);
    receiver = StreamReceiver::open(o.input, limits, error);
    if (!receiver) return fail(error);
  }
  std::error_code ec;
  fs::create_directories(o.out, ec);
  if (!fs::is_directory(o.out, ec)) return fail("cannot create the output folder " + o.out);

  const std::string packageUrl =
      o.packageUrl.empty() ? "file://" + fs::absolute(o.package).string() : o.packageUrl;
  const OrsaMireloConfig configuration = startConfiguration(packageUrl);
  auto engine = OrsaMireloFactory::create();
  std::unique_ptr<SimulatedSender> sender;
  // The sender sends the package's own frames, so it needs the package prepared too.
  const auto makeSender = [&](const std::string& local) {
    auto resources = prepare(local, error);
    if (resources && receiver) return true;
    if (resources) sender = SimulatedSender::create(*resources, engine, kStreamId, o.fps, error);
    return sender != nullptr;
  };
  if (o.packageUrl.empty()) {
    const std::string local = OrsaROIRuntime::localPackagePath(configuration);
    if (!placeForRuntime(o.package, local, error)) return fail(error);
    if (!makeSender(local)) return fail(o.package + ": " + error);
  }

  std::shared_ptr<OrsaPreviewView> view;
  if (o.headView)
    view = OrsaHeadPreviewView::create();
  else
    view = OrsaPreviewView::create();
  view->setFrame(OrsaRect{0, 0, o.layer.width, o.layer.height});
  view->setContentsScale(o.scale);
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
      OrsaPreviewViewCore::of(*view).renderBackend().get());
  if (!gl || !gl->hasPipeline()) {
    stopView(*view);
    return fail("no GL ES 3 context with the shader library could be made on this machine (EGL)");
  }
  // Shared with the presentation sink, which may outlive this function's locals when the
  // drawing thread does not end in time.
  std::shared_ptr<DemoWindow> window;
  if (o.window) {
    std::string why;
    window = DemoWindow::open(static_cast<int32_t>(std::lround(o.layer.width * o.scale)),
                              static_cast<int32_t>(std::lround(o.layer.height * o.scale)), why);
    if (!window)
      std::fprintf(stderr, "orsa demo: --window: no window is available: %s; the demo goes on\n",
                   why.c_str());
  }
  // Main-queue work and, with a window, its events and pictures; false once it was closed.
  const auto pump = [&](std::chrono::milliseconds duration) {
    MainLoop::runFor(window ? std::min(duration, std::chrono::milliseconds(15)) : duration);
    return !window || window->show();
  };

  auto delegate = std::make_shared<DemoDelegate>();
  engine->attach(view);
  const int64_t startedAt = orsa::platform::currentMillis();
  if (!o.packageUrl.empty())
    std::fprintf(stderr, "downloading the package from %s\n", packageUrl.c_str());
  engine->start(OrsaMireloConfigEncoder::encode(configuration), delegate);
  const auto giveUp = [&](const std::string& why) {
    engine->stop();
    stopView(*view);
    return fail(why);
  };
  if (!delegate->error.empty()) return giveUp("the engine refused to start: " + delegate->error);
  const auto readyTimeout = o.packageUrl.empty() ? kEngineReadyTimeout : kDownloadReadyTimeout;
  if (!MainLoop::runUntil([&] { return gl->hasMaskTexture() || !delegate->error.empty(); },
                          readyTimeout))
    return giveUp("the engine did not load the package's mask within " +
                  std::to_string(readyTimeout.count()) + " s (see 'orsa logs read')");
  if (!delegate->error.empty()) return giveUp("the engine failed: " + delegate->error);
  if (!sender && !receiver) {
    if (!makeSender(OrsaROIRuntime::localPackagePath(configuration)))
      return giveUp(packageUrl + ": " + error);
  }
  // The frame path's own counts: where frames were dropped before they reached the view.
  auto runtime = std::dynamic_pointer_cast<OrsaROIRuntime>(
      std::static_pointer_cast<OrsaMireloImpl>(engine)->currentRuntime());
  const auto inFlight = [&] { return runtime ? runtime->frameCounts().inFlight : 0; };
  // Without recording the recorder has no slots: it still measures every presented picture.
  // The sink holds it (and the window and the receiver) too: a drawing thread that outlives the
  // wait below must find them still there.
  const int32_t fps = sender ? sender->fps() : (o.fps > 0 ? o.fps : 25);
  auto recorder = std::make_shared<DemoRecorder>((fs::path(o.out) / "composite.mp4").string(),
                                                 (fs::path(o.out) / "contact-sheet.png").string(),
                                                 fps, o.record ? 8 : 0);
  view->setPresentationSink([recorder, window, receiver](const OrsaPicture& p) {
    if (receiver) receiver->onPresented(p);
    recorder->onPicture(p);
    if (window) window->offer(p);
  });

  if (receiver)
    std::fprintf(stderr, "receiving %s into a %gx%g@%g layer\n", o.input.c_str(), o.layer.width,
                 o.layer.height, o.scale);
  else
    std::fprintf(stderr, "sending %.3g s at %d fps into a %gx%g@%g layer\n", o.seconds,
                 sender->fps(), o.layer.width, o.layer.height, o.scale);
  const int64_t sendStart = orsa::platform::currentMillis();
  const double cpuAtStart = processCpuMs();
  if (!receiver)
    sender->start();
  else if (!receiver->start(engine, kStreamId, error))
    return giveUp(error);
  // A receiver ends by itself (end of the input, silence, or --seconds).
  const int64_t sendUntil =
      receiver ? INT64_MAX : sendStart + static_cast<int64_t>(o.seconds * 1000);
  // Pixel buffers the pool allocates once streaming is steady (after its first second).
  std::optional<uint64_t> allocationsSteady, drawnSteady;
  for (int64_t now = sendStart; now < sendUntil; now = orsa::platform::currentMillis()) {
    if (!allocationsSteady && now - sendStart >= 1000) {
      allocationsSteady = BufferPool::allocationCount();
      drawnSteady = view->renderFrameCount();
    }
    if (receiver && receiver->finished()) break;
    if (!pump(std::chrono::milliseconds(std::min<int64_t>(sendUntil - now, 100)))) break;
  }
  if (receiver) {
    receiver->stop();
    if (!receiver->failed()) std::fprintf(stderr, "%s\n", receiver->endLine().c_str());
  } else {
    sender->stop();
  }
  const int64_t sendEnd = orsa::platform::currentMillis();
  // Drained: nothing queued and nothing new arriving from the background reads for a while.
  uint64_t seen = view->receivedFrameCount();
  int64_t quietSince = orsa::platform::currentMillis();
  for (int64_t now = quietSince; now - sendEnd < 5000; now = orsa::platform::currentMillis()) {
    pump(std::chrono::milliseconds(20));
    if (view->receivedFrameCount() != seen || view->queuedFrameCount() != 0 || inFlight() != 0) {
      seen = view->receivedFrameCount();
      quietSince = now;
    } else if (now - quietSince >= 300) {
      break;
    }
  }
  MainLoop::runFor(std::chrono::milliseconds(50));  // a first-frame callback still queued
  const double cpuMs = processCpuMs() - cpuAtStart;
  const uint64_t allocations =
      allocationsSteady ? BufferPool::allocationCount() - *allocationsSteady : 0;
  const uint64_t steadyFrames = drawnSteady ? view->renderFrameCount() - *drawnSteady : 0;
  engine->stop();
  stopView(*view);
  // Reads still running when the engine stopped end without a view to go to.
  for (int64_t end = orsa::platform::currentMillis() + 2000;
       inFlight() != 0 && orsa::platform::currentMillis() < end;)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const DemoRecorder::Summary s = recorder->finish();

  const int64_t firstFrameAt = delegate->firstFrameAt.load();
  nlohmann::json stats;
  if (sender) stats["framesSent"] = sender->framesSent();
  stats["framesReceived"] = view->receivedFrameCount();
  stats["framesDrawn"] = view->renderFrameCount();
  // Every frame sent is drawn, dropped on the way (waiting for its background, without one, or
  // in the view) or refused for what it carried.
  const auto& viewCore = OrsaPreviewViewCore::of(*view);
  const OrsaROIRuntime::FrameCounts rc =
      runtime ? runtime->frameCounts() : OrsaROIRuntime::FrameCounts{};
  const uint64_t droppedInView =
      view->droppedFrameCount() + viewCore.discardedFrameCount() + view->queuedFrameCount();
  const uint64_t dropped = rc.droppedBeforeRead + rc.droppedAtRead + droppedInView;
  const uint64_t refused = rc.refused + viewCore.refusedFrameCount();
  stats["framesDropped"] = dropped;
  stats["framesDroppedBeforeRead"] = rc.droppedBeforeRead;
  stats["framesDroppedAtRead"] = rc.droppedAtRead;
  stats["framesDroppedInView"] = droppedInView;
  stats["framesRefused"] = refused;
  if (sender)
    stats["framesUnaccounted"] = static_cast<int64_t>(sender->framesSent()) -
                                 static_cast<int64_t>(view->renderFrameCount() + dropped + refused);
  stats["framesOutOfOrder"] = view->outOfOrderFrameCount();
  stats["framesRecorded"] = s.recorded;
  stats["framesNotRecorded"] = s.notRecorded;
  stats["firstFrameMs"] = firstFrameAt > 0 ? nlohmann::json(firstFrameAt - startedAt) : nullptr;
  stats["latencyMs"] = {{"p50", DemoRecorder::percentile(s.latencies, 0.50)},
                        {"p95", DemoRecorder::percentile(s.latencies, 0.95)},
                        {"p99", DemoRecorder::percentile(s.latencies, 0.99)}};
  const int64_t span = s.lastPresentation - s.firstPresentation;
  stats["fps"] = s.presented > 1 && span > 0
                     ? std::round(1000.0 * static_cast<double>(s.presented - 1) / span * 10) / 10
                     : 0.0;
  stats["sentFps"] = sender ? sender->fps() : receiver->fps();
  stats["seconds"] = (sendEnd - sendStart) / 1000.0;
  stats["layer"] = {{"width", o.layer.width}, {"height", o.layer.height}, {"scale", o.scale}};
  // The whole process: engine, sender and (unless --no-record) the encoder.
  stats["cpuMsPerFrame"] =
      view->renderFrameCount() > 0 ? std::round(cpuMs / view->renderFrameCount() * 100) / 100 : 0.0;
  stats["bufferAllocationsSteady"] = allocations;
  stats["bufferAllocationsPerFrame"] =
      steadyFrames > 0 ? static_cast<double>(allocations) / steadyFrames : 0.0;
  if (receiver) receiver->addStats(stats);
  const std::string statsPath = (fs::path(o.out) / "stats.json").string();
  std::ofstream(statsPath) << stats.dump(2) << "\n";
  if (!fs::is_regular_file(statsPath, ec)) return fail("cannot write " + statsPath);

  std::printf("%s\n", stats.dump(2).c_str());
  if (!o.record) {
    std::printf("outputs: %s/stats.json\n", o.out.c_str());
  } else {
    std::printf("outputs: %s/{composite.mp4,contact-sheet.png,stats.json}\n", o.out.c_str());
    if (!s.error.empty()) return fail(s.error);
  }
  if (receiver && receiver->failed()) return fail(receiver->endLine());
  if (view->renderFrameCount() == 0) return fail("the view drew no frame (see 'orsa logs read')");
  return 0;
}

}  // namespace

ORSA_TOOL_COMMAND("demo", kUsage, runDemo);

}  // namespace orsa::tool
