#include "orsa/OrsaHeadPreviewView.h"
#include "platform/Dispatch.h"
#include "render/OrsaPreviewViewCore.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <condition_variable>
#include <limits>
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

// A rate outside 1-120 is no rate a sender means: the last one that was, or 25, paces instead.
TEST(OrsaPreviewViewTest, PacesAtEightyPercentOfTheFrameInterval) {
  const struct {
    std::vector<int64_t> fps;
    std::vector<int64_t> waits;
  } rows[] = {
      {{25}, {32}},  {{30}, {26}},        {{60}, {12}},
      {{120}, {6}},  {{0}, {32}},         {{-5}, {32}},
      {{121}, {32}}, {{INT32_MIN}, {32}}, {{60, 0, 1000, 30}, {12, 12, 12, 26}},
  };
  for (const auto& row : rows) {
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, 4, 4});
    std::mutex m;
    std::vector<int64_t> sleeps;
    core(*view).setClock({[] { return int64_t{1000}; },
                          [&](int64_t d) {
                            std::lock_guard<std::mutex> l(m);
                            sleeps.push_back(d);
                          }});
    core(*view).setRenderBackend(std::make_shared<FakeBackend>());
    for (size_t i = 0; i < row.fps.size(); ++i) {
      core(*view).update(frame(4, 4, 2, 2, row.fps[i]));
      EXPECT_TRUE(waitUntil([&] { return view->receivedFrameCount() == i + 1; }));
    }
    std::vector<int64_t> expected;
    for (int64_t w : row.waits) expected.push_back(1000 + w);
    std::lock_guard<std::mutex> l(m);
    EXPECT_EQ(sleeps, expected) << row.fps[0];
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
  now = 500, view->updateWithImageBuffer(px, 4, 2, px, 2, 1, OrsaRect{1, 0, 3, 2});
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(core(*view).firstFrame());
  backend->present = true;
  backend->calls.clear();
  for (int64_t t : {700, 1200, 1700, 2200})
    now = t, view->updateWithImageBuffer(px, 4, 2, px, 2, 1, OrsaRect{1, 0, 3, 2});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_EQ(core(*view).firstFrameTime(), 700);
  EXPECT_EQ(view->renderFrameCount(), 5u);
  EXPECT_EQ(view->presentedFrameCount(), 4u);
  EXPECT_EQ(core(*view).renderTimePoints(), (std::vector<int64_t>{1700, 2200}));
  EXPECT_EQ(std::vector<std::string>(backend->calls.begin(), backend->calls.begin() + 5),
            (std::vector<std::string>{"tex 4x2 70", "tex 2x1 80", "viewport 30x40 4x2",
                                      "buffers 4x2 2x1 1,0,3,2", "draw"}));
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
    f->setTop(0), f->setBottom(1);
    core(*view).drawFrame(f);
    EXPECT_TRUE(waitUntil([&] { return view->receivedFrameCount() == uint64_t(type) + 1; }));
    EXPECT_FALSE(f->roiData());  // given back
  }
  EXPECT_EQ(view->renderFrameCount(), 2u);
  finish(*view);
  std::lock_guard<std::mutex> l(backend->m);
  EXPECT_EQ(backend->calls[0] + "; " + backend->calls[3] + "; " + backend->calls[5],
            "tex 7x1 70; buffers 7x1 2x2 2,0,5,1; tex 6x7 70");
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
    for (int i = 0; i < 3; ++i) view->updateWithImageBuffer(px, 4, 2, px, 2, 1, {0, 0, 2, 1});
    view->loadMaskTexture("again.png");
    EXPECT_EQ(reasons, row.reason.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{row.reason});
    EXPECT_EQ(firstFrames, 0);
    EXPECT_EQ(view->presentedFrameCount(), 0u);
    EXPECT_EQ(view->renderFrameCount(), 3u);
    finish(*view);
  }
}

// Placements as a sender may write them, 32-bit extremes included, on both views: only what
// lies on the background is drawn, and the head view takes its square from the first placement
// that gives one. Run under UBSan, this also shows the arithmetic defined for every value.
TEST(OrsaPreviewViewTest, PlacementsAreClippedToTheBackgroundOrRefused) {
  constexpr int64_t lo = INT32_MIN, hi = INT32_MAX;
  const struct {
    int64_t left, top, right, bottom;
    const char* drawn;  // the rectangle the backend gets; null: refused
  } rows[] = {
      {6, 2, 2, 8, nullptr},      // turned over
      {0, 0, 10, 1, "0,0,10,1"},  // drawn, but too thin at the top for a head square
      {2, 3, 12, 8, "2,3,8,5"},  {3, 3, 3, 8, nullptr},  // no width
      {3, 3, 8, 3, nullptr},                             // no height
      {10, 0, 20, 5, nullptr},                           // right of the background
      {-9, -9, 0, 0, nullptr},                           // above and left of it
      {-4, 6, 4, 14, "0,6,4,4"}, {lo, lo, hi, hi, "0,0,10,10"}, {hi, hi, lo, lo, nullptr},
      {lo, lo, lo, lo, nullptr}, {hi, 0, hi, 5, nullptr},       {lo, 0, hi, lo, nullptr},
  };
  for (bool headView : {false, true}) {
    SCOPED_TRACE(headView ? "head view" : "preview view");
    std::shared_ptr<OrsaPreviewView> view;
    if (headView)
      view = OrsaHeadPreviewView::create(OrsaRect{0, 0, 10, 10});
    else
      view = OrsaPreviewView::create(OrsaRect{0, 0, 10, 10});
    auto backend = std::make_shared<FakeBackend>();
    core(*view).setRenderBackend(backend);
    core(*view).setClock({[] { return int64_t{0}; }, [](int64_t) {}});
    uint64_t refused = 0;
    for (const auto& row : rows) {
      auto f = frame(10, 10, 2, 2, 120);
      f->setLeft(row.left), f->setTop(row.top), f->setRight(row.right), f->setBottom(row.bottom);
      {
        std::lock_guard<std::mutex> l(backend->m);
        backend->calls.clear();
      }
      const uint64_t taken = view->receivedFrameCount();
      core(*view).update(f);
      ASSERT_TRUE(waitUntil([&] { return view->receivedFrameCount() == taken + 1; }));
      refused += row.drawn ? 0 : 1;
      EXPECT_EQ(core(*view).refusedFrameCount(), refused) << row.left << "," << row.top;
      std::lock_guard<std::mutex> l(backend->m);
      const std::string expected = row.drawn ? std::string("buffers 10x10 2x2 ") + row.drawn : "";
      std::string got;
      for (const auto& call : backend->calls)
        if (call.rfind("buffers", 0) == 0) got = call;
      EXPECT_EQ(got, expected) << row.left << "," << row.top << "," << row.right << ","
                               << row.bottom;
    }
    // The host's own draws, with rectangles that are no numbers or no finite ones.
    const uint8_t px[400] = {};
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const uint64_t drawn = view->renderFrameCount();
    for (OrsaRect r : {OrsaRect{nan, 0, 4, 4},
                       {0, 0, nan, 4},
                       {-inf, 0, inf, 4},
                       {inf, inf, 1, 1},
                       {0, 0, -inf, 4},
                       {-1e300, -1e300, 2e300, -1}})
      view->updateWithImageBuffer(px, 10, 10, px, 2, 2, r);
    EXPECT_EQ(view->renderFrameCount(), drawn);
    if (headView) {
      // From (2, 3, 8, 5): centre (6, 4), half side min(6, 4, 4, 6) = 4.
      EXPECT_EQ(std::static_pointer_cast<OrsaHeadPreviewView>(view)->cropRect(),
                (OrsaRect{2, 0, 8, 8}));
    }
    finish(*view);
  }
  // The square itself, for any background and placement: finite, never negative, and within
  // 32-bit pixel coordinates.
  const double big = 1e300, nan = std::nan("");
  for (double w : {0.0, 10.0, double(hi), double(lo), big, -big, nan})
    for (OrsaRect r : {OrsaRect{double(lo), double(lo), double(hi), double(hi)},
                       {double(hi), double(hi), double(hi), double(hi)},
                       {double(lo), double(hi), double(lo), double(hi)},
                       {-big, big, big, -big},
                       {nan, nan, nan, nan},
                       {2, 3, 8, 5}}) {
      const OrsaRect sq = OrsaHeadPreviewView::headSquare(w, w, r);
      EXPECT_GE(sq.width, 0) << w << " " << r.x;
      EXPECT_EQ(sq.width, sq.height);
      EXPECT_LE(std::abs(sq.x), 4.0 * hi);
      EXPECT_LE(std::abs(sq.y), 4.0 * hi);
    }
}

}  // namespace
