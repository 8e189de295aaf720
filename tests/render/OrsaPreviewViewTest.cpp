#include "platform/Dispatch.h"
#include "render/OrsaPreviewViewCore.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "render/ViewTestSupport.h"
#include "support/TestSupport.h"
#include "utils/Image.h"

namespace {

using namespace std::chrono_literals;
BufferPool& pool = BufferPool::sharedInstance();

// Records the GPU calls; with `hold` set, a draw waits for release(), so the consumer stalls
// inside it and the queue fills without progress. A draw presents while `present` is set;
// `pipelineError` and `maskError` make it a backend that cannot draw.
struct FakeBackend : OrsaRenderBackend {
  std::mutex m;
  std::condition_variable cv;
  bool hold = false;
  std::atomic<bool> entered{false}, present{true};
  std::optional<std::string> pipelineError;
  std::string maskError;
  std::vector<std::string> calls;
  void add(std::string s) {
    std::lock_guard<std::mutex> l(m);
    calls.push_back(std::move(s));
  }
  std::shared_ptr<Texture> createRGBATextureFromBuffer(const uint8_t*, int32_t w, int32_t h,
                                                       PixelFormat f) override {
    return add(fmt::format("tex {}x{} {}", w, h, int(f))), std::make_shared<Texture>();
  }
  void updateViewportForLayerSize(OrsaSize l, OrsaSize t) override {
    add(fmt::format("viewport {}x{} {}x{}", l.width, l.height, t.width, t.height));
  }
  void createBuffersWithWidth(int32_t w, int32_t h, int32_t sw, int32_t sh, OrsaRect r) override {
    add(fmt::format("buffers {}x{} {}x{} {},{},{},{}", w, h, sw, sh, r.x, r.y, r.width, r.height));
  }
  bool compositeAndDrawWithSubBuffer(const std::shared_ptr<Texture>& b,
                                     const std::shared_ptr<Texture>& h) override {
    std::unique_lock<std::mutex> l(m);
    calls.push_back(b && h ? "draw" : "draw without textures"), entered = true;
    cv.wait(l, [&] { return !hold; });
    return present && !pipelineError;
  }
  std::optional<std::string> failure() const override { return pipelineError; }
  bool loadMaskTexture(const std::string& path, std::string& error) override {
    error = maskError;
    return maskError.empty();
  }
  void release() {
    std::lock_guard<std::mutex> l(m);
    hold = false, cv.notify_all();
  }
};

std::shared_ptr<OrsaFrameData> frame(int w, int h, int sw, int sh, int64_t fps = 0) {
  auto f = std::make_shared<OrsaFrameData>();
  if (w) f->updateOriginFrame(pool.poll(uint64_t(w) * h * 4), w, h);
  f->setRoiData(pool.poll(uint64_t(sw) * sh * 4));
  f->setRoiWidth(sw), f->setRoiHeight(sh), f->setFps(fps);
  f->setLeft(2), f->setTop(3), f->setRight(12), f->setBottom(8);
  return f;
}

OrsaPreviewViewCore& core(OrsaPreviewView& view) {
  return OrsaPreviewViewCore::of(view);
}

using orsa::test::finish;
using orsa::test::waitUntil;

// Signals outstanding on the view's semaphore (taken from it).
int takeSignals(OrsaPreviewView& view) {
  int n = 0;
  while (core(view).frameDataSemaphore()->waitFor(n < 5 ? 1000ms : 50ms)) ++n;
  return n;
}

// A view whose consumer is stalled inside the draw of a first frame.
std::pair<std::shared_ptr<OrsaPreviewView>, std::shared_ptr<FakeBackend>> stalledView() {
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 30, 40});
  auto backend = std::make_shared<FakeBackend>();
  backend->hold = true;
  core(*view).setRenderBackend(backend);
  core(*view).update(frame(4, 4, 2, 2));
  EXPECT_TRUE(waitUntil([&] { return backend->entered.load(); }));
  return {view, backend};
}

// Sizes of the buffers these tests look for in the pool are used by no other frame here.
TEST(OrsaPreviewViewTest, QueueDropsIntoPoolStopSignalsFiveAndTeardownReturnsTheRest) {
  std::string log = orsa::test::consoleOf([] {
    auto stalled = stalledView();  // not bound by name: a lambda below captures the view
    auto& view = stalled.first;
    auto& backend = stalled.second;
    std::vector<std::shared_ptr<OrsaFrameData>> frames;
    for (int i = 0; i < 6; ++i) frames.push_back(frame(5, 13 + i, 3, 13 + i));
    const auto drop = frames[0]->roiData().get(), kept = frames[1]->roiData().get();
    for (auto& f : frames) core(*view).update(f);
    EXPECT_EQ(view->queuedFrameCount(), 5u);
    EXPECT_EQ(pool.poll(3 * 13 * 4).get(), drop);
    EXPECT_EQ(takeSignals(*view), 5);  // the dropped frame's signal went to its successor
    view->stop(), view->stop(), core(*view).update(frame(4, 4, 2, 2));
    EXPECT_EQ(takeSignals(*view), 5);
    backend->release();
    EXPECT_TRUE(waitUntil([&] { return !core(*view).consumerRunning(); }));
    EXPECT_EQ(view->renderFrameCount(), 1u);  // nothing queued was drawn after the stop
    view.reset();
    EXPECT_EQ(pool.poll(3 * 14 * 4).get(), kept);
  });
  const auto warning = log.find("frameDataQueue is full, drop the first element");
  EXPECT_NE(warning, log.npos);
  EXPECT_EQ(warning, log.rfind("frameDataQueue is full"));
  EXPECT_NE(log.find("DigitalHumanView dealloc, frameDataQueue size: 5"), std::string::npos);
}

TEST(OrsaPreviewViewTest, ReleasedViewDiesAtTheEndOfTheConsumersCycle) {
  auto [view, backend] = stalledView();
  std::weak_ptr<OrsaPreviewView> weak = view;
  view.reset();
  EXPECT_FALSE(weak.expired());
  backend->release();
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
}

TEST(OrsaPreviewViewTest, PacesAtEightyPercentOfTheFrameInterval) {
  for (auto [fps, wait] : {std::pair{25, 32}, {30, 26}, {60, 12}, {0, -1}, {-5, -1}}) {
    auto view = OrsaPreviewView::create();
    std::mutex m;
    std::vector<int64_t> sleeps;
    core(*view).setClock({[] { return int64_t{1000}; },
                          [&](int64_t d) {
                            std::lock_guard<std::mutex> l(m);
                            sleeps.push_back(d);
                          }});
    core(*view).update(frame(4, 4, 2, 2, fps));
    EXPECT_TRUE(waitUntil([&] { return view->receivedFrameCount() == 1; }));
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(sleeps, wait < 0 ? std::vector<int64_t>{} : std::vector<int64_t>{1000 + wait});
    finish(*view);
  }
}

TEST(OrsaPreviewViewTest, DrawCountsFirstFrameOnceAndKeepsTheLastSecond) {
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 30, 40});
  auto backend = std::make_shared<FakeBackend>();
  core(*view).setRenderBackend(backend);
  std::atomic<int64_t> now{0};
  core(*view).setClock({[&] { return now.load(); }, [](int64_t) {}});
  int calls = 0;
  auto token = std::make_shared<int>();  // shows whether the view still holds the callback
  core(*view).setFirstFrameCallback([&calls, token] { ++calls; });
  const uint8_t px[64] = {};
  for (auto [w, h, sw, sh] : {std::array{0, 4, 2, 2}, {4, 0, 2, 2}, {4, 4, 0, 2}, {4, 4, 2, -1}})
    view->updateWithImageBuffer(px, w, h, px, sw, sh, {});
  view->updateWithImageBuffer(nullptr, 4, 4, px, 2, 2, {});
  EXPECT_TRUE(core(*view).firstFrame());
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(backend->calls.empty());
  // A draw that presents nothing (no mask yet) is no first frame.
  backend->present = false;
  now = 500, view->updateWithImageBuffer(px, 4, 2, px, 2, 1, OrsaRect{1, 2, 3, 4});
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(core(*view).firstFrame());
  backend->present = true;
  backend->calls.clear();
  for (int64_t t : {700, 1200, 1700, 2200})
    now = t, view->updateWithImageBuffer(px, 4, 2, px, 2, 1, OrsaRect{1, 2, 3, 4});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(core(*view).firstFrameTime(), 700);
  EXPECT_EQ(view->renderFrameCount(), 5u);
  EXPECT_EQ(view->presentedFrameCount(), 4u);
  EXPECT_EQ(core(*view).renderTimePoints(), (std::vector<int64_t>{1700, 2200}));
  EXPECT_EQ(std::vector<std::string>(backend->calls.begin(), backend->calls.begin() + 5),
            (std::vector<std::string>{"tex 4x2 70", "tex 2x1 80", "viewport 30x40 4x2",
                                      "buffers 4x2 2x1 1,2,3,4", "draw"}));
  finish(*view);
}

struct FakeSource : OrsaFrameSource {
  std::shared_ptr<Image> readOriginFrame(int32_t n) const override {
    return std::make_shared<Image>(pool.poll(n * 4), n, 1);
  }
  std::shared_ptr<Image> readInterpolationWithStart(int32_t s, int32_t e,
                                                    int32_t i) const override {
    return std::make_shared<Image>(pool.poll(4 * s * e * i), s * e, i);
  }
};

TEST(OrsaPreviewViewTest, DrawFrameLooksTheBackgroundUpByType) {
  auto view = OrsaPreviewView::create();
  auto backend = std::make_shared<FakeBackend>();
  core(*view).setRenderBackend(backend);
  core(*view).setResourceManager(std::make_shared<FakeSource>());
  core(*view).drawFrame(frame(0, 0, 0, 2));  // no head: dropped before queueing
  for (int type : {0, 1, 2}) {
    auto f = frame(0, 0, 2, 2);
    f->setType(type), f->setFrameIndex(7), f->setStartIndex(2), f->setEndIndex(3);
    core(*view).drawFrame(f);
    EXPECT_TRUE(waitUntil([&] { return view->receivedFrameCount() == uint64_t(type) + 1; }));
    EXPECT_FALSE(f->roiData());  // given back
  }
  EXPECT_EQ(view->renderFrameCount(), 2u);
  finish(*view);
  std::lock_guard<std::mutex> l(backend->m);
  EXPECT_EQ(backend->calls[0] + "; " + backend->calls[3] + "; " + backend->calls[5],
            "tex 7x1 70; buffers 7x1 2x2 2,3,10,5; tex 6x7 70");
}

// Each way of not being able to draw is told once, with its cause, whenever the callback comes;
// no first frame is reported meanwhile. A view that only waits for its mask reports nothing.
TEST(OrsaPreviewViewTest, AViewThatCannotDrawSaysWhyOnce) {
  struct Row {
    const char* name;
    std::function<void(OrsaPreviewView&, FakeBackend&)> breakIt;
    std::string reason;  // empty: the view can draw
  };
  const std::vector<Row> rows = {
      {"no backend", [](OrsaPreviewView& v, FakeBackend&) { core(v).setRenderBackend(nullptr); },
       "no render backend"},
      {"no pipeline",
       [](OrsaPreviewView&, FakeBackend& b) { b.pipelineError = "no render pipeline: no shader"; },
       "no render pipeline: no shader"},
      {"bad mask",
       [](OrsaPreviewView& v, FakeBackend& b) {
         b.maskError = "m.png: not a PNG", b.present = false;
         v.loadMaskTexture("m.png");
       },
       "the mask cannot be loaded: m.png: not a PNG"},
      {"no mask yet", [](OrsaPreviewView&, FakeBackend& b) { b.present = false; }, ""},
  };
  const uint8_t px[64] = {};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, 4, 4});
    auto backend = std::make_shared<FakeBackend>();
    core(*view).setRenderBackend(backend);
    std::vector<std::string> reasons;
    int firstFrames = 0;
    core(*view).setFirstFrameCallback([&] { ++firstFrames; });
    row.breakIt(*view, *backend);
    // Known before anyone listens: told as the callback comes.
    core(*view).setFailureCallback([&](const std::string& why) { reasons.push_back(why); });
    for (int i = 0; i < 3; ++i) view->updateWithImageBuffer(px, 4, 2, px, 2, 1, {});
    view->loadMaskTexture("again.png");
    EXPECT_EQ(reasons, row.reason.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.reason});
    EXPECT_EQ(firstFrames, 0);
    EXPECT_EQ(view->presentedFrameCount(), 0u);
    EXPECT_EQ(view->renderFrameCount(), 3u);
    finish(*view);
  }
}

}  // namespace
