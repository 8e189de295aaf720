// The runtimes end to end, through the engine facade as a host drives it: a start
// configuration in, SEI and frames in on an RTC thread, pictures out of the view.
#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

#include "OrsaMireloImpl.h"
#include "OrsaROIRuntime.h"
#include "download/TRDownloader.h"
#include "orsa/OrsaMirelo.h"
#include "platform/AppContainer.h"
#include "platform/Clock.h"
#include "platform/OrsaBase64.h"
#include "render/BufferPool.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/ViewTestSupport.h"
#include "render/gl/GlRenderBackend.h"
#include "render/gl/PngFile.h"
#include "support/HttpTestServers.h"
#include "utils/Image.h"
#include "utils/ResourceManager.h"
#include "utils/ResourceTestPackage.h"

ORSA_TSAN_IGNORE_FFMPEG_INTERNALS()

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace orsa::test;
using orsa::platform::AppContainer;
using orsa::platform::MainLoop;

constexpr int kW = 64, kH = 48, kFrames = 6;
const OrsaRect kHead{16, 8, 24, 24};

struct Delegate : OrsaMireloDelegate {
  std::atomic<int> firstFrames{0}, firstFramesOffMain{0};
  std::atomic<int64_t> startSuccessAt{0};
  void onSurfaceFirstFrameDraw() override {
    ++firstFrames;
    if (!MainLoop::isMainThread()) ++firstFramesOffMain;
  }
  void onMireloStartSuccess() override { startSuccessAt = orsa::platform::currentMillis(); }
  // Main thread only.
  void onError(int32_t code, const std::string& message) override {
    errors.push_back(std::to_string(code) + " " + message);
  }
  std::vector<std::string> errors;
};

std::string config(const std::string& platform,
                   const std::string& url = "https://cdn.example/pkg/demo%20human.zip?sig=1") {
  return OrsaBase64::encode(
      R"({"DigitalHumanId":"h1","Streams":[{"RoomId":"r","StreamId":"s","ConfigId":")" + platform +
      R"(","PackageUrl":")" + url + R"("}]})");
}

// The SEI payload of a frame naming background `index`, placing the head at kHead; fps 0, so
// the view draws without pacing.
std::vector<uint8_t> sei(int index) {
  return OrsaSEIRecord{0, 0, 0, 0, index, 16, 8, 40, 32}.payload();
}

// Where the runtime looks for the package of config()'s URL.
std::string localPackage() {
  return OrsaHost::packagePath(config("mobile"));
}

class RuntimeTest : public testing::Test {
 protected:
  void SetUp() override {
    AppContainer::setRoot(home_.str());
    fs::create_directories(AppContainer::temporaryDirectory());
    // An all-white mask: the head covers its whole rectangle.
    std::vector<uint8_t> white(24 * 24 * 4, 255);
    std::string error;
    orsa::gl::writePngRGBA(home_.str() + "/border.png", white.data(), 24, 24, 96, error);
    writePackage(
        localPackage(),
        {{"origin.mp4", readFile(makeVideo(home_.path() / "o.mp4", kFrames, videoFormat(kW, kH)))},
         {"border.png", readFile(home_.str() + "/border.png")}});
  }

  // A view of the background's size whose pictures are kept.
  std::shared_ptr<OrsaPreviewView> makeView() {
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, kW, kH});
    view->setContentsScale(1);
    view->setPresentationSink([this](const OrsaPicture& p) {
      std::lock_guard<std::mutex> lock(m_);
      pictures_.emplace_back(p.sequence,
                             std::vector<uint8_t>(p.rgba, p.rgba + p.stride * p.height));
    });
    return view;
  }

  static void waitForMask(OrsaPreviewView& view) {
    auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
        OrsaPreviewViewCore::of(view).renderBackend().get());
    ASSERT_TRUE(gl);
    EXPECT_TRUE(MainLoop::runUntil([&] { return gl->hasMaskTexture(); }, 60s));
  }

  // Starts the engine with a view of the background's size and waits for the mask.
  std::shared_ptr<OrsaPreviewView> start(IOrsaMirelo& engine) {
    auto view = makeView();
    engine.attach(view);
    engine.start(config("mobile"), delegate_);
    waitForMask(*view);
    return view;
  }

  // The errors the delegate heard, once nothing more arrives for a while.
  std::vector<std::string> settledErrors(size_t atLeast) {
    EXPECT_TRUE(MainLoop::runUntil([&] { return delegate_->errors.size() >= atLeast; }, 30s));
    MainLoop::runFor(200ms);
    return delegate_->errors;
  }

  // SEI (when index >= 0) then a head of one colour (BGRA, green unless said), padded rows as
  // an RTC decoder delivers them.
  static void send(IOrsaMirelo& engine, int index, const std::string& stream = "s",
                   const char* bgra = "\x00\xff\x00\xff") {
    if (index >= 0) engine.onPlayerSyncRecvSEI(stream, sei(index));
    const int stride = 24 * 4 + 32;
    std::vector<uint8_t> head(stride * 24, 0xEE);
    for (int y = 0; y < 24; ++y)
      for (int x = 0; x < 24; ++x) std::memcpy(&head[y * stride + x * 4], bgra, 4);
    const uint8_t* planes[] = {head.data()};
    const uint32_t lengths[] = {uint32_t(head.size())};
    QMXVideoFrameParam param;
    param.setWidth(24), param.setHeight(24), param.setStride(stride, 0);
    engine.onRemoteVideoFrameRawData(planes, lengths, param, stream);
  }

  // Waits until no frame is on its way to the view or in the view's queue, then checks that
  // every frame that came in is drawn, dropped or refused somewhere. Returns the runtime's counts.
  static OrsaROIRuntime::FrameCounts settled(OrsaROIRuntime& runtime, OrsaPreviewView& view) {
    auto& core = OrsaPreviewViewCore::of(view);
    const auto quiet = [&] {
      const auto c = runtime.frameCounts();
      return c.inFlight == 0 && view.queuedFrameCount() == 0 &&
             c.handedToView ==
                 view.receivedFrameCount() + view.droppedFrameCount() + core.discardedFrameCount();
    };
    EXPECT_TRUE(MainLoop::runUntil(quiet, 30s));
    const auto c = runtime.frameCounts();
    EXPECT_EQ(c.received, c.refused + c.droppedBeforeRead + c.droppedAtRead + c.handedToView);
    EXPECT_EQ(view.receivedFrameCount(), view.renderFrameCount() + core.refusedFrameCount());
    return c;
  }

  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pictures() {
    std::lock_guard<std::mutex> lock(m_);
    return pictures_;
  }

  TempDir home_;
  std::shared_ptr<Delegate> delegate_ = std::make_shared<Delegate>();
  std::mutex m_;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> pictures_;
};

// The head's colour where the picture shows it.
std::vector<uint8_t> headPixel(const std::vector<uint8_t>& rgba) {
  return {&rgba[(20 * kW + 28) * 4], &rgba[(20 * kW + 28) * 4 + 4]};
}
const std::vector<uint8_t> kGreen = {0, 255, 0, 255};

// Mean absolute difference of the picture's pixels outside the head from a background frame.
double backgroundDistance(const std::vector<uint8_t>& picture, const Image& frame) {
  double sum = 0;
  int n = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      if (x >= kHead.x - 1 && x <= kHead.x + kHead.width && y >= kHead.y - 1 &&
          y <= kHead.y + kHead.height)
        continue;
      for (int c = 0; c < 3; ++c, ++n)
        sum += std::abs(picture[(y * kW + x) * 4 + c] - frame.pixel(x, y)[c]);
    }
  return sum / n;
}

TEST_F(RuntimeTest, HeadGoesOverTheNamedBackgroundAndFramesPairWithTheirSEI) {
  auto engine = OrsaMireloFactory::create();
  auto view = start(*engine);
  // A frame without SEI, SEI and frame of another stream, and a frame of another stream between
  // an SEI and its frame: only the last pair draws, with its own SEI.
  send(*engine, -1);
  send(*engine, 1, "other");
  engine->onPlayerSyncRecvSEI("s", sei(2));
  send(*engine, -1, "other", "\xff\x00\x00\xff");
  send(*engine, -1);
  // Two SEI then a frame: the second counts; one SEI then two frames: one drawn.
  engine->onPlayerSyncRecvSEI("s", sei(1));
  send(*engine, 4);
  send(*engine, -1);
  ASSERT_TRUE(MainLoop::runUntil([&] { return view->receivedFrameCount() == 2; }, 30s));
  // Bursts of four: in flight together, never more than the view's queue holds.
  for (int i = 0; i < 20; ++i) {
    send(*engine, i % kFrames);
    if (i % 4 == 3) {
      ASSERT_TRUE(MainLoop::runUntil([&] { return view->receivedFrameCount() == 3u + i; }, 30s))
          << view->droppedFrameCount() << " dropped";
    }
  }
  MainLoop::runFor(50ms);  // the first-frame callback is posted to the main queue
  EXPECT_EQ(delegate_->firstFrames, 1);
  EXPECT_EQ(delegate_->firstFramesOffMain, 0);
  EXPECT_EQ(view->outOfOrderFrameCount(), 0u);

  const auto shown = pictures();
  ASSERT_EQ(shown.size(), 22u);
  std::vector<std::shared_ptr<Image>> backgrounds;
  auto manager = ResourceManager::create();
  struct Done : ResourceManagerDelegate {
    std::atomic<bool> ok{false};
    void onSetResourceSuccess() override { ok = true; }
  };
  auto done = std::make_shared<Done>();
  manager->setResource(localPackage(), done);
  ASSERT_TRUE(MainLoop::runUntil([&] { return done->ok.load(); }, 30s));
  for (int i = 0; i < kFrames; ++i) backgrounds.push_back(manager->readOriginFrame(i));
  const int expected[] = {2, 4, 0, 1, 2};  // the first pairs, then the stream's walk
  for (size_t k = 0; k < 5; ++k) {
    const auto& [sequence, rgba] = shown[k];
    EXPECT_EQ(sequence, k + 1);
    for (int i = 0; i < kFrames; ++i) {
      const double d = backgroundDistance(rgba, *backgrounds[i]);
      if (i == expected[k])
        EXPECT_LT(d, 1.0) << "picture " << k << " against frame " << i;
      else
        EXPECT_GT(d, 2.0) << "picture " << k << " against frame " << i;
    }
    // The head, green, fills its rectangle; its padding never shows.
    EXPECT_EQ(headPixel(rgba), kGreen);
  }
  engine->stop();
  finish(*view);
}

TEST_F(RuntimeTest, StopFreesRuntimeViewAndBuffersAndTheEngineStartsAgain) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  for (int round = 0; round < 2; ++round) {
    auto view = start(*engine);
    std::weak_ptr<IOrsaMireloRuntime> runtime = engine->currentRuntime();
    for (int i = 0; i < 4; ++i) send(*engine, i % kFrames);
    ASSERT_TRUE(MainLoop::runUntil([&] { return view->receivedFrameCount() == 4; }, 30s));
    engine->stop();
    send(*engine, 1);  // intake after stop goes nowhere
    std::weak_ptr<OrsaPreviewView> weakView = view;
    view.reset();
    MainLoop::runUntil([&] { return runtime.expired() && weakView.expired(); }, 5s);
    EXPECT_TRUE(runtime.expired());
    EXPECT_TRUE(weakView.expired());
    EXPECT_EQ(BufferPool::sharedInstance().idleBytes(), 0u);
  }
}

TEST_F(RuntimeTest, PreparationWaitsEndAndTheNormalRuntimeStartsAfterHalfASecond) {
  // Destroyed before the package is handed over, and a package that is not there at all: in
  // both cases the waiting task ends and the runtime is freed.
  for (bool present : {true, false}) {
    if (!present) fs::remove(localPackage());
    auto engine = std::make_shared<OrsaMireloImpl>();
    engine->start(config("mobile"), delegate_);
    std::weak_ptr<IOrsaMireloRuntime> runtime = engine->currentRuntime();
    engine->stop();
    EXPECT_TRUE(MainLoop::runUntil([&] { return runtime.expired(); }, 5s)) << present;
  }
  auto engine = OrsaMireloFactory::create();
  const int64_t started = orsa::platform::currentMillis();
  engine->start(config("web"), delegate_);
  ASSERT_TRUE(MainLoop::runUntil([&] { return delegate_->startSuccessAt > 0; }, 5s));
  EXPECT_GE(delegate_->startSuccessAt - started, 500);
  engine->stop();
}

TEST_F(RuntimeTest, StopCancelsThePackageDownloadAndAFailedOneIsReportedToTheHost) {
  std::atomic<int> served{0};
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    ++served;
    auto reply = FaultHttpServer::serveBytes(q, std::string(1 << 20, 'z'));
    if (q.target == "/slow.zip") {
      reply.stallAfter = 4096;
      reply.stallMs = 30000;
    } else {
      reply.status = 500;
    }
    return reply;
  });
  auto engine = std::make_shared<OrsaMireloImpl>();
  engine->start(config("mobile", server.url("/slow.zip")), delegate_);
  std::weak_ptr<IOrsaMireloRuntime> runtime = engine->currentRuntime();
  const auto session = [] { return TRDownloader::downloader()->session(); };
  MainLoop::runUntil([&] { return served == 1 && !session()->allTasks().empty(); }, 10s);
  ASSERT_EQ(served, 1);
  ASSERT_FALSE(session()->allTasks().empty());
  engine->stop();
  MainLoop::runUntil([&] { return runtime.expired() && session()->allTasks().empty(); }, 5s);
  EXPECT_TRUE(runtime.expired());
  EXPECT_TRUE(session()->allTasks().empty());
  MainLoop::runFor(200ms);
  EXPECT_EQ(delegate_->errors, std::vector<std::string>{});

  engine->start(config("mobile", server.url("/gone.zip")), delegate_);
  EXPECT_EQ(settledErrors(1),
            std::vector<std::string>{"-200000 Resource package download failed: 11002 http status "
                                     "code error"});
  engine->stop();
}

// A package download cut by the network tells the host at once, keeps what arrived, and the
// next start (after a stop in the same process, too) asks only for the rest.
TEST_F(RuntimeTest, ACutPackageDownloadIsReportedAndTheNextStartContinuesIt) {
  const std::string body(1 << 20, 'z');
  FaultHttpServer server([&](const FaultHttpServer::Request& q) {
    auto reply = FaultHttpServer::serveBytes(q, body);
    if (!q.header("Range")) reply.closeAfter = 256 << 10;
    return reply;
  });
  auto engine = OrsaMireloFactory::create();
  engine->start(config("mobile", server.url("/cut.zip")), delegate_);
  const auto errors = settledErrors(1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("-200000 Resource package download failed: -1005", 0), 0u) << errors[0];
  engine->stop();

  delegate_->errors.clear();
  engine->start(config("mobile", server.url("/cut.zip")), delegate_);
  settledErrors(1);  // the megabyte of 'z' is no zip: preparation fails, after the download
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto range = requests[1].header("Range");
  ASSERT_TRUE(range.has_value());
  EXPECT_NE(*range, "bytes=0-");
  engine->stop();
}

// A package that arrives (on disk or downloaded) but cannot be prepared: the host hears once
// why, and no view is left waiting in silence.
TEST_F(RuntimeTest, AFailedPreparationIsReportedOnceWithItsCause) {
  FaultHttpServer server([](const FaultHttpServer::Request& q) {
    return FaultHttpServer::serveBytes(q, "PK this is no zip archive");
  });
  const std::string local = localPackage();
  struct Row {
    const char* name;
    std::string url;                 // empty: the local package
    std::optional<std::string> zip;  // what the local package holds
    std::string cause;
  } rows[] = {
      {"not a zip", "", "garbage",
       "Failed to extract resource package " + local + ": it cannot be unzipped"},
      {"no video", "", std::nullopt,
       "Failed to extract resource package " + local + ": it holds no origin.mp4"},
      {"downloaded, not a zip", server.url("/fetched.zip"), "", "it cannot be unzipped"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    delegate_->errors.clear();
    fs::remove(local);
    if (row.url.empty() && row.zip) writeFile(local, *row.zip);
    if (row.url.empty() && !row.zip) writePackage(local, {{"border.png", "x"}});
    auto engine = OrsaMireloFactory::create();
    engine->attach(makeView());
    engine->start(row.url.empty() ? config("mobile") : config("mobile", row.url), delegate_);
    const auto errors = settledErrors(1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("-200000 Resource package preparation failed: ", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find(row.cause), std::string::npos) << errors[0];
    engine->stop();
  }
}

// Stands in for a GPU without the shader library: nothing it draws is ever presented.
struct NoPipelineBackend : OrsaRenderBackend {
  std::shared_ptr<Texture> createRGBATextureFromBuffer(const uint8_t*, int32_t, int32_t,
                                                       PixelFormat) override {
    return nullptr;
  }
  void updateViewportForLayerSize(OrsaSize, OrsaSize) override {}
  void createBuffersWithWidth(int32_t, int32_t, int32_t, int32_t, OrsaRect) override {}
  bool compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>&,
                                     const std::shared_ptr<Texture>&) override {
    return false;
  }
  std::optional<std::string> failure() const override {
    return "no render pipeline: no shader library OrsaDigitalHumanShader.glsl";
  }
};

// Frames flow but the view can show none of them: one error saying why, and no first frame.
TEST_F(RuntimeTest, AViewThatCannotDrawIsReportedOnceAndNeverAsDrawn) {
  const std::string local = localPackage();
  struct Row {
    const char* name;
    bool brokenMask;
    std::string cause;
  } rows[] = {
      {"no pipeline", false, "no render pipeline: no shader library OrsaDigitalHumanShader.glsl"},
      {"mask does not load", true, "the mask cannot be loaded: "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    delegate_->errors.clear();
    delegate_->firstFrames = 0;
    if (row.brokenMask) {
      writePackage(local,
                   {{"origin.mp4", readFile(home_.path() / "o.mp4")}, {"border.png", "not a PNG"}});
    }
    auto engine = std::make_shared<OrsaMireloImpl>();
    auto view = makeView();
    if (!row.brokenMask)
      OrsaPreviewViewCore::of(*view).setRenderBackend(std::make_shared<NoPipelineBackend>());
    engine->attach(view);
    engine->start(config("mobile"), delegate_);
    const auto errors = settledErrors(1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("-200010 The view cannot draw: " + row.cause, 0), 0u) << errors[0];
    // The view may say so before the package is ready; frames sent earlier would find no
    // background and never reach it.
    auto runtime = std::dynamic_pointer_cast<OrsaROIRuntime>(engine->currentRuntime());
    ASSERT_TRUE(runtime);
    ASSERT_TRUE(MainLoop::runUntil([&] { return runtime->prepared(); }, 60s));
    for (int i = 0; i < 3; ++i) send(*engine, i);
    EXPECT_TRUE(MainLoop::runUntil([&] { return view->receivedFrameCount() == 3; }, 30s));
    MainLoop::runFor(100ms);
    EXPECT_EQ(view->presentedFrameCount(), 0u);
    EXPECT_EQ(delegate_->firstFrames, 0);
    EXPECT_EQ(delegate_->errors.size(), 1u);
    engine->stop();
    finish(*view);
  }
}

// Attached only once the package is prepared, the view still gets its mask and draws.
TEST_F(RuntimeTest, AViewAttachedAfterPreparationDrawsWithTheMask) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  engine->start(config("mobile"), delegate_);
  auto runtime = std::dynamic_pointer_cast<OrsaROIRuntime>(engine->currentRuntime());
  ASSERT_TRUE(runtime);
  ASSERT_TRUE(MainLoop::runUntil([&] { return runtime->prepared(); }, 60s));
  auto view = makeView();
  engine->attach(view);
  waitForMask(*view);
  send(*engine, 3);
  ASSERT_TRUE(MainLoop::runUntil([&] { return !pictures().empty(); }, 30s));
  ASSERT_TRUE(MainLoop::runUntil([&] { return delegate_->firstFrames == 1; }, 10s));
  EXPECT_EQ(headPixel(pictures()[0].second), kGreen);  // through the all-white mask
  engine->stop();
  finish(*view);
}

// The engine keeps the attached view across stop and start, but stop stopped it: the host is
// told to attach a new one. A view of the host's own gets a working one put inside it again.
TEST_F(RuntimeTest, StartingAgainWithTheStoppedViewSaysANewViewIsNeeded) {
  for (const std::string platform : {"mobile", "web"}) {
    SCOPED_TRACE(platform);
    delegate_->errors.clear();
    auto engine = std::make_shared<OrsaMireloImpl>();
    auto view = makeView();
    engine->attach(view);
    engine->start(config(platform), delegate_);
    engine->stop();
    EXPECT_TRUE(view->stopped());
    engine->start(config(platform), delegate_);
    EXPECT_EQ(settledErrors(1), std::vector<std::string>{"-200011 The attached view was stopped "
                                                         "and cannot draw again; attach a new "
                                                         "view"});
    engine->stop();
    finish(*view);
  }
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto host = std::make_shared<OrsaView>(OrsaRect{0, 0, kW, kH});
  engine->attach(host);
  for (int round = 0; round < 2; ++round) {
    engine->start(config("web"), delegate_);
    const auto inside = host->subviews();
    ASSERT_EQ(inside.size(), 1u);
    auto preview = std::dynamic_pointer_cast<OrsaPreviewView>(inside[0]);
    ASSERT_TRUE(preview);
    EXPECT_FALSE(preview->stopped());
    engine->stop();
    EXPECT_TRUE(host->subviews().empty());
    finish(*preview);
  }
}

// Every preview view holds a GL context and a drawing thread: attaching the host's view again
// and stopping and starting again leave one working view inside it and none behind.
TEST_F(RuntimeTest, TheNormalRuntimeLeavesNoViewBehind) {
  const int64_t views = OrsaPreviewViewCore::liveViewCount();
  const int64_t threads = OrsaPreviewViewCore::runningConsumerCount();
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto host = std::make_shared<OrsaView>(OrsaRect{0, 0, kW, kH});
  engine->attach(host);
  for (int round = 0; round < 4; ++round) {
    engine->start(config("web"), delegate_);
    for (int i = 0; i < 3; ++i) engine->attach(host);
    ASSERT_EQ(host->subviews().size(), 1u);
    auto inside = std::dynamic_pointer_cast<OrsaPreviewView>(host->subviews()[0]);
    ASSERT_TRUE(inside);
    EXPECT_FALSE(inside->stopped());
    engine->stop();
    EXPECT_TRUE(host->subviews().empty());
  }
  EXPECT_TRUE(MainLoop::runUntil(
      [&] {
        return OrsaPreviewViewCore::liveViewCount() == views &&
               OrsaPreviewViewCore::runningConsumerCount() == threads;
      },
      10s))
      << OrsaPreviewViewCore::liveViewCount() - views << " views and "
      << OrsaPreviewViewCore::runningConsumerCount() - threads << " threads left";
}

// Reads backgrounds of the test's size, each held until the test lets it go.
struct GatedReader : OrsaFrameSource {
  mutable std::mutex m;
  mutable std::condition_variable cv;
  mutable std::set<int32_t> reading, released;
  bool open = false;
  std::shared_ptr<Image> readOriginFrame(int32_t n) const override {
    std::unique_lock<std::mutex> l(m);
    reading.insert(n);
    cv.notify_all();
    cv.wait(l, [&] { return open || released.count(n); });
    reading.erase(n);
    cv.notify_all();
    auto buffer = BufferPool::sharedInstance().poll(kW * kH * 4);
    std::fill(buffer->data(), buffer->data() + kW * kH * 4, uint8_t(n));
    return std::make_shared<Image>(std::move(buffer), kW, kH);
  }
  std::shared_ptr<Image> readInterpolationWithStart(int32_t, int32_t, int32_t) const override {
    return nullptr;
  }
  size_t readingCount() const {
    std::lock_guard<std::mutex> l(m);
    return reading.size();
  }
  std::set<int32_t> inRead() const {
    std::lock_guard<std::mutex> l(m);
    return reading;
  }
  void release(int32_t n) {
    std::unique_lock<std::mutex> l(m);
    released.insert(n);
    cv.notify_all();
    cv.wait(l, [&] { return !reading.count(n); });
  }
  void openAll() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
};

// Frames come faster than backgrounds are read: what waits for a read stays within its bound
// (the oldest go), reads run side by side, finish in any order and still reach the view in
// the order the frames arrived, and every frame is accounted for.
TEST_F(RuntimeTest, ASlowBackgroundReaderKeepsABoundedBacklogAndTheArrivalOrder) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  auto view = start(*engine);
  auto runtime = std::dynamic_pointer_cast<OrsaROIRuntime>(engine->currentRuntime());
  ASSERT_TRUE(runtime);
  auto reader = std::make_shared<GatedReader>();
  runtime->setBackgroundReader(reader);
  const size_t readers = OrsaROIRuntime::readerCount(), bound = OrsaROIRuntime::readBacklogBound();
  ASSERT_GE(readers, 2u);
  constexpr int kSent = 40;
  for (int i = 0; i < kSent; ++i) {
    send(*engine, i);
    EXPECT_LE(runtime->frameCounts().inFlight, readers + bound) << "after frame " << i;
  }
  // Every reader holds a frame: the reads run side by side.
  ASSERT_TRUE(MainLoop::runUntil([&] { return reader->readingCount() == readers; }, 30s));
  EXPECT_LE(runtime->frameCounts().inFlight, readers + bound);
  const auto held = reader->inRead();
  // The later frames' reads finish first; they wait for the earlier ones.
  for (auto it = held.rbegin(); it != held.rend(); ++it) reader->release(*it);
  reader->openAll();
  const auto counts = settled(*runtime, *view);
  EXPECT_EQ(counts.received, uint64_t(kSent));
  EXPECT_EQ(counts.refused, 0u);
  EXPECT_GE(counts.droppedBeforeRead, kSent - readers - bound);
  EXPECT_EQ(view->outOfOrderFrameCount(), 0u);
  const auto shown = pictures();
  EXPECT_EQ(shown.size(), view->renderFrameCount());
  for (size_t k = 1; k < shown.size(); ++k) EXPECT_LT(shown[k - 1].first, shown[k].first);
  // The last frame sent is never the one dropped.
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.back().first, uint64_t(kSent));
  engine->stop();
  finish(*view);
}

// SEI as senders get it wrong, a frame before any view: a frame that cannot be placed is
// refused, never drawn with what a refused record left, and every frame is accounted for.
TEST_F(RuntimeTest, RefusedAndDegenerateSEIAreRefusedAndEveryFrameAccounted) {
  auto engine = std::make_shared<OrsaMireloImpl>();
  engine->start(config("mobile"), delegate_);
  auto runtime = std::dynamic_pointer_cast<OrsaROIRuntime>(engine->currentRuntime());
  ASSERT_TRUE(runtime);
  ASSERT_TRUE(MainLoop::runUntil([&] { return runtime->prepared(); }, 60s));
  // Before a view is attached: read for nobody, dropped.
  for (int i = 0; i < 2; ++i) send(*engine, i);
  ASSERT_TRUE(MainLoop::runUntil([&] { return runtime->frameCounts().droppedAtRead == 2; }, 30s));
  auto view = makeView();
  engine->attach(view);
  waitForMask(*view);

  const auto record = [](int32_t fps, int32_t l, int32_t t, int32_t r, int32_t b) {
    return OrsaSEIRecord{fps, 0, 0, 0, 3, l, t, r, b}.payload();
  };
  auto refusedPayload = sei(2);
  refusedPayload.pop_back();  // no longer a whole number of words
  const std::vector<uint8_t> none;
  struct Row {
    const char* name;
    std::vector<std::vector<uint8_t>> seis;  // sent before the frame, in order
    bool drawn;
  } rows[] = {
      {"valid", {sei(1)}, true},
      {"refused", {refusedPayload}, false},
      {"empty payload", {none}, false},
      {"valid, then refused", {sei(1), refusedPayload}, false},
      {"refused, then valid", {refusedPayload, sei(4)}, true},
      {"no SEI", {}, false},
      {"turned over", {record(25, 40, 8, 16, 32)}, false},
      {"no width", {record(25, 16, 8, 16, 32)}, false},
      {"no height", {record(25, 16, 8, 40, 8)}, false},
      {"right of the background", {record(25, kW, 8, kW + 24, 32)}, false},
      {"above the background", {record(25, 16, -40, 40, -8)}, false},
      {"partly outside", {record(25, -12, -12, 12, 12)}, true},
      {"32-bit extremes", {record(INT32_MAX, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX)}, true},
      {"turned over extremes",
       {record(INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN)},
       false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const uint64_t drawn = view->renderFrameCount();
    const auto before = runtime->frameCounts();
    const uint64_t viewRefused = OrsaPreviewViewCore::of(*view).refusedFrameCount();
    for (const auto& payload : row.seis) engine->onPlayerSyncRecvSEI("s", payload);
    send(*engine, -1);
    const auto after = settled(*runtime, *view);
    EXPECT_EQ(view->renderFrameCount() - drawn, row.drawn ? 1u : 0u);
    EXPECT_EQ(after.refused - before.refused +
                  (OrsaPreviewViewCore::of(*view).refusedFrameCount() - viewRefused),
              row.drawn ? 0u : 1u);
  }
  const auto counts = settled(*runtime, *view);
  EXPECT_EQ(counts.received, 2u + std::size(rows));
  EXPECT_EQ(counts.droppedAtRead, 2u);
  engine->stop();
  finish(*view);
}

}  // namespace
