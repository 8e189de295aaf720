// The GPU side on whatever EGL gives this machine: llvmpipe where there is no GPU.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "orsa/OrsaHeadPreviewView.h"
#include "platform/Clock.h"
#include "render/BufferPool.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/ViewTestSupport.h"
#include "render/gl/GlRenderBackend.h"
#include "render/gl/PngFile.h"
#include "support/TestSupport.h"

// llvmpipe is not built with ThreadSanitizer: it counts references to its fences with atomics
// the sanitizer cannot see, so a fence its rasteriser signalled and the drawing thread then
// freed looks raced. Races in our own code are still reported. Once per program.
extern "C" const char* __tsan_default_suppressions() {
  return "race:swrast_dri.so\n";
}

namespace {

using orsa::gl::GlRenderBackend;
using orsa::gl::Viewport;

struct Picture {
  int32_t width = 0, height = 0;
  std::vector<uint8_t> rgba;
  std::array<int, 4> at(int x, int y) const {
    const uint8_t* p = &rgba[(static_cast<size_t>(y) * width + x) * 4];
    return {p[0], p[1], p[2], p[3]};
  }
};

// Pixels from a function of (x, y), packed 4 bytes each in the order the function gives.
template <typename F>
std::vector<uint8_t> image(int w, int h, F pixel) {
  std::vector<uint8_t> v(size_t(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::array<int, 4> p = pixel(x, y);
      for (int c = 0; c < 4; ++c) v[(size_t(y) * w + x) * 4 + c] = uint8_t(p[c]);
    }
  return v;
}

// The mask across the head, by column of 32: head (white opaque) on the left quarter, a ramp
// to black over the second quarter, black, then white but transparent on the right quarter.
std::string writeMask(const orsa::test::TempDir& dir) {
  auto mask = image(32, 32, [](int x, int) -> std::array<int, 4> {
    if (x < 8) return {255, 255, 255, 255};
    if (x < 16) return {255 - (x - 8) * 32, 0, 0, 255};
    return x < 24 ? std::array{0, 0, 0, 255} : std::array{255, 255, 255, 0};
  });
  const std::string path = dir.str() + "/border.png";
  std::string error;
  EXPECT_TRUE(orsa::gl::writePngRGBA(path, mask.data(), 32, 32, 32 * 4, error)) << error;
  return path;
}

GlRenderBackend& glOf(OrsaPreviewView& view) {
  auto* backend =
      dynamic_cast<GlRenderBackend*>(OrsaPreviewViewCore::of(view).renderBackend().get());
  if (!backend) throw std::runtime_error("the view has no GL backend on this machine");
  return *backend;
}

// Draws one frame through the view's own draw step and returns what it presented.
Picture draw(OrsaPreviewView& view, const std::vector<uint8_t>& bg, int w, int h,
             const std::vector<uint8_t>& head, int hw, int hh, OrsaRect rect) {
  Picture picture;
  view.setPresentationSink([&](const OrsaPicture& p) {
    picture.width = p.width, picture.height = p.height;
    EXPECT_EQ(p.stride, p.width * 4);
    picture.rgba.assign(p.rgba, p.rgba + size_t(p.stride) * p.height);
  });
  view.updateWithImageBuffer(bg.data(), w, h, head.data(), hw, hh, rect);
  view.setPresentationSink(nullptr);
  return picture;
}

void expectNear(std::array<int, 4> got, std::array<int, 4> want, int tolerance, const char* where) {
  for (int c = 0; c < 4; ++c) EXPECT_NEAR(got[c], want[c], tolerance) << where << " channel " << c;
}

const auto red = [](int, int) { return std::array{250, 10, 10, 255}; };
// Head bytes are BGRA: this head is RGB (0, 100, 200).
const auto headBGRA = [](int, int) { return std::array{200, 100, 0, 255}; };

TEST(GlCompositingTest, HeadGoesOverTheBackgroundThroughTheMask) {
  orsa::test::TempDir dir;
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 64, 48});
  view->setContentsScale(1);
  const auto bg = image(64, 48, red), head = image(32, 32, headBGRA);
  const OrsaRect rect{16, 8, 32, 32};

  std::vector<std::string> reasons;
  OrsaPreviewViewCore::of(*view).setFailureCallback(
      [&](const std::string& why) { reasons.push_back(why); });
  EXPECT_TRUE(draw(*view, bg, 64, 48, head, 32, 32, rect).rgba.empty());  // no mask yet
  EXPECT_FALSE(view->snapshot(dir.str() + "/none.png"));
  EXPECT_EQ(view->renderFrameCount(), 1u);
  EXPECT_EQ(view->presentedFrameCount(), 0u);
  EXPECT_TRUE(reasons.empty());  // waiting for a mask is no failure

  view->loadMaskTexture(writeMask(dir));
  const Picture p = draw(*view, bg, 64, 48, head, 32, 32, rect);
  EXPECT_EQ(view->presentedFrameCount(), 1u);
  ASSERT_EQ(p.width, 64);
  ASSERT_EQ(p.height, 48);
  expectNear(p.at(5, 5), {250, 10, 10, 255}, 1, "outside the rectangle");
  expectNear(p.at(60, 44), {250, 10, 10, 255}, 1, "outside, bottom right");
  expectNear(p.at(16 + 3, 8 + 16), {0, 100, 200, 255}, 2, "white mask");
  expectNear(p.at(16 + 20, 8 + 16), {250, 10, 10, 255}, 2, "black mask");
  expectNear(p.at(16 + 28, 8 + 16), {250, 10, 10, 255}, 2, "transparent mask");
  const auto edge = p.at(16 + 12, 8 + 16);  // mask about half way down its ramp
  EXPECT_GT(edge[0], 60);
  EXPECT_LT(edge[0], 190);
  EXPECT_GT(edge[2], 60);
  EXPECT_LT(edge[2], 160);

  // The same picture through the snapshot, rows top to bottom.
  std::vector<uint8_t> png;
  int32_t w = 0, h = 0;
  std::string error;
  ASSERT_TRUE(view->snapshot(dir.str() + "/shot.png"));
  ASSERT_TRUE(orsa::gl::readPngRGBA(dir.str() + "/shot.png", png, w, h, error)) << error;
  EXPECT_EQ(w, 64);
  EXPECT_EQ(h, 48);
  EXPECT_EQ(png, p.rgba);

  // A failed load takes the mask away, and the view says why, once.
  view->loadMaskTexture(dir.str() + "/missing.png");
  EXPECT_TRUE(draw(*view, bg, 64, 48, head, 32, 32, rect).rgba.empty());
  view->loadMaskTexture(dir.str() + "/missing.png");
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_EQ(reasons[0].rfind("the mask cannot be loaded: " + dir.str() + "/missing.png: ", 0), 0u)
      << reasons[0];
  orsa::test::finish(*view);
}

// The background's pixel (x, y) encodes its own coordinates, so the picture shows which part of
// the background each drawable pixel came from.
TEST(GlCompositingTest, AspectFillCentresAndCutsTheOverflow) {
  orsa::test::TempDir dir;
  const auto bg = image(64, 48, [](int x, int y) { return std::array{x * 4, y * 4, 0, 255}; });
  const auto head = image(4, 4, headBGRA);
  const auto square = image(100, 100, red);
  const std::string mask = writeMask(dir);
  struct Case {
    double layerW, layerH, scale;
    bool square;  // the 100 x 100 background of the design's examples, else `bg`
    Viewport viewport;
  } cases[] = {
      {128, 48, 1, false, {0, -24, 128, 96, -1, 1}},  // relatively wider: top and bottom cut
      {16, 24, 2, false, {-16, 0, 64, 48, -1, 1}},    // relatively taller: sides cut
      {32, 24, 2, false, {0, 0, 64, 48, -1, 1}},      // same ratio: covers exactly
      {100, 200, 2, true, {-100, 0, 400, 400, -1, 1}},
      {200, 100, 1, true, {0, -50, 200, 200, -1, 1}},
  };
  for (const auto& c : cases) {
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, c.layerW, c.layerH});
    view->setContentsScale(c.scale);
    view->loadMaskTexture(mask);
    const int w = c.square ? 100 : 64, h = c.square ? 100 : 48;
    // One pixel of head in the bottom-left corner, away from the pixels looked at.
    const Picture p =
        draw(*view, c.square ? square : bg, w, h, head, 4, 4, OrsaRect{0, h - 1.0, 1, 1});
    EXPECT_EQ(glOf(*view).viewport(), c.viewport) << c.layerW << "x" << c.layerH;
    ASSERT_EQ(p.width, int(c.layerW * c.scale));
    orsa::test::finish(*view);
    if (c.square) continue;
    const Viewport& v = c.viewport;
    for (auto [px, py] : {std::pair{0, 0}, {p.width - 1, p.height - 1}, {p.width / 2, 3}}) {
      const double bx = (px + 0.5 - v.originX) / v.width * 64 - 0.5;
      const double by = (py + 0.5 - v.originY) / v.height * 48 - 0.5;
      expectNear(p.at(px, py), {int(std::lround(bx * 4)), int(std::lround(by * 4)), 0, 255}, 4,
                 "mapped pixel");
    }
  }
}

TEST(GlCompositingTest, ParameterBuffersHoldTheDesignsBytes) {
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 96, 54});
  const auto bg = image(1920, 1080, red), head = image(512, 512, headBGRA);
  view->updateWithImageBuffer(bg.data(), 1920, 1080, head.data(), 512, 512,
                              OrsaRect{704, 100, 512, 512});
  auto& gl = glOf(*view);
  EXPECT_EQ(gl.largeSizeBuffer(), (std::array<float, 4>{1920, 1080, 0, 0}));
  EXPECT_EQ(gl.subSizeBuffer(), (std::array<float, 4>{512, 512, 0, 0}));
  EXPECT_EQ(gl.subRectBuffer(), (std::array<float, 4>{float(704 / 1920.0), float(100 / 1080.0),
                                                      float(512 / 1920.0), float(512 / 1080.0)}));
  EXPECT_NEAR(gl.subRectBuffer()[1], 0.0925926f, 1e-7);
  EXPECT_FALSE(gl.headInfoBuffer());
  orsa::test::finish(*view);
}

TEST(GlCompositingTest, HeadViewFixesItsSquareAtTheFirstFrameAndRoundsItsCorners) {
  EXPECT_EQ(OrsaHeadPreviewView::headSquare(1000, 800, {400, 100, 200, 300}),
            (OrsaRect{340, 0, 320, 320}));
  EXPECT_EQ(OrsaHeadPreviewView::headSquare(1000, 800, {900, 300, 100, 100}),
            (OrsaRect{900, 270, 100, 100}));

  orsa::test::TempDir dir;
  auto view = OrsaHeadPreviewView::create();
  EXPECT_EQ(view->radiusRatio(), 1.0f);
  EXPECT_EQ(view->borderWeight(), 0.0f);
  view->updateBorderWeight(-0.2f);
  view->updateRadiusRatio(1.5f);
  EXPECT_EQ(view->radiusRatio(), 1.0f);
  EXPECT_EQ(view->borderWeight(), 0.0f);
  view->setFrame(OrsaRect{0, 0, 30, 30});
  view->setContentsScale(2);
  view->loadMaskTexture(writeMask(dir));
  // The head is stretched over (400, 100, 200, 300); its white-mask quarter lies left of the
  // crop's centre.
  const auto bg = image(1000, 800, red), head = image(32, 32, headBGRA);
  Picture p = draw(*view, bg, 1000, 800, head, 32, 32, OrsaRect{400, 100, 200, 300});
  auto& gl = glOf(*view);
  EXPECT_EQ(gl.viewport(), (Viewport{0, 0, 60, 60, -1, 1}));
  EXPECT_EQ(view->cropRect(), (OrsaRect{340, 0, 320, 320}));
  EXPECT_EQ(*gl.headInfoBuffer(), (std::array<float, 6>{0, 0.34f, 0.32f, 0.4f, 1, 0}));
  ASSERT_EQ(p.width, 60);
  expectNear(p.at(15, 30), {0, 100, 200, 255}, 2, "head");
  EXPECT_EQ(p.at(0, 0)[3], 0) << "rounded corner";
  expectNear(p.at(2, 30), {250, 10, 10, 255}, 2, "left edge");

  view->setRadiusRatio(0.0f);
  p = draw(*view, bg, 1000, 800, head, 32, 32, OrsaRect{0, 0, 32, 32});
  EXPECT_EQ(view->cropRect(), (OrsaRect{340, 0, 320, 320}));
  expectNear(p.at(0, 0), {250, 10, 10, 255}, 2, "square corner");
  orsa::test::finish(*view);
}

TEST(GlCompositingTest, UploadPathsKeepRowsAndTheReuseTableStaysBounded) {
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 5, 3});
  auto& gl = glOf(*view);
  EXPECT_TRUE(gl.hasTextureCache());
  // Five pixels a row: the staging rows of the aligned path are padded, the texture is not.
  const auto bytes = image(5, 3, [](int x, int y) { return std::array{x * 50, y * 100, 7, 255}; });
  orsa::test::TempDir dir;
  std::string error;
  ASSERT_TRUE(gl.loadMaskTexture(writeMask(dir), error)) << error;
  for (auto path : {&GlRenderBackend::createHighPerformanceRGBATextureFromBuffer,
                    &GlRenderBackend::createOptimizedRGBATextureFromBuffer,
                    &GlRenderBackend::createSharedMemoryRGBATextureFromBuffer}) {
    auto texture = (gl.*path)(bytes.data(), 5, 3, 70);
    ASSERT_TRUE(texture);
    Picture p;
    gl.setPresentationSink([&](const OrsaPicture& pic) {
      p.width = pic.width, p.height = pic.height;
      p.rgba.assign(pic.rgba, pic.rgba + size_t(pic.stride) * pic.height);
    });
    gl.layoutLayer({5, 3}, 1);
    gl.updateViewportForLayerSize({5, 3}, {5, 3});
    gl.createBuffersWithWidth(5, 3, 1, 1, {-50, -50, 1, 1});  // the head nowhere in sight
    EXPECT_TRUE(gl.compositeAndDrawWithSubBuffer(texture, nullptr));
    gl.setPresentationSink(nullptr);
    EXPECT_EQ(p.rgba, bytes);
  }
  EXPECT_FALSE(gl.createOptimizedRGBATextureFromBufferV2(nullptr, 5, 3, 70));
  EXPECT_FALSE(gl.createOptimizedRGBATextureFromBuffer(bytes.data(), 5, 3, 72));

  auto first = gl.getCachedTextureWithWidth(1, 1, 70);
  EXPECT_EQ(gl.getCachedTextureWithWidth(1, 1, 70), first);
  for (int i = 2; i <= 11; ++i) gl.getCachedTextureWithWidth(i, 1, 70);
  EXPECT_EQ(gl.cachedTextureCount(), 11u);
  gl.getCachedTextureWithWidth(12, 1, 70);
  EXPECT_EQ(gl.cachedTextureCount(), 1u);
  EXPECT_NE(gl.getCachedTextureWithWidth(1, 1, 70), first);
  orsa::test::finish(*view);
}

// The mask and the sink change on other threads while the consumer draws: a run for
// ThreadSanitizer as much as a check that streaming goes on presenting afterwards.
TEST(GlCompositingTest, StreamingSurvivesMaskAndSinkChangesFromOtherThreads) {
  orsa::test::TempDir dir;
  const std::string mask = writeMask(dir);
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 32, 24});
  view->loadMaskTexture(mask);
  auto& gl = glOf(*view);
  std::atomic<bool> done{false};
  std::atomic<int> pictures{0};
  std::thread changer([&] {
    for (int i = 0; !done; ++i) {
      view->loadMaskTexture(i % 3 == 2 ? dir.str() + "/missing.png" : mask);
      if (i % 2)
        view->setPresentationSink([&](const OrsaPicture&) { ++pictures; });
      else
        view->setPresentationSink(nullptr);
    }
  });
  const auto frame = [] {
    auto& pool = BufferPool::sharedInstance();
    auto f = std::make_shared<OrsaFrameData>();
    f->updateOriginFrame(pool.poll(64 * 48 * 4), 64, 48);
    f->setRoiData(pool.poll(16 * 16 * 4));
    f->setRoiWidth(16), f->setRoiHeight(16);
    f->setLeft(8), f->setTop(8), f->setRight(24), f->setBottom(24);
    return f;
  };
  for (int i = 0; i < 60; ++i) {
    EXPECT_TRUE(orsa::test::waitUntil([&] { return view->queuedFrameCount() < 5; }));
    OrsaPreviewViewCore::of(*view).update(frame());
  }
  EXPECT_TRUE(orsa::test::waitUntil([&] { return view->receivedFrameCount() == 60; }));
  done = true;
  changer.join();
  EXPECT_EQ(view->renderFrameCount(), 60u);
  EXPECT_EQ(view->presentedFrameCount(), gl.presentedFrameCount());
  // With a mask and a sink in place, the next frame reaches the sink.
  view->loadMaskTexture(mask);
  std::atomic<int> after{0};
  view->setPresentationSink([&](const OrsaPicture& p) {
    if (p.width == 32 && p.height == 24) ++after;
  });
  OrsaPreviewViewCore::of(*view).update(frame());
  EXPECT_TRUE(orsa::test::waitUntil([&] { return after.load() == 1; }));
  view->setPresentationSink(nullptr);
  orsa::test::finish(*view);
}

// Frames streamed through the consumer reach the sink exactly as the synchronous read-back of
// the same composites shows them, each with its own sequence and stamp, in order, and the one
// drawn last before a stop still arrives. The clock holds the consumer after chosen draws so the
// queue behind each draw, and so the moment of each hand-over, is the same on every run.
TEST(GlCompositingTest, StreamedPicturesMatchTheSynchronousReadBackInOrderUpToTheStop) {
  orsa::test::TempDir dir;
  const std::string mask = writeMask(dir);
  constexpr int kW = 48, kH = 32, kFrames = 5;
  const OrsaRect rect{8, 6, 16, 16};
  const auto head = image(16, 16, headBGRA);
  const auto background = [](int i) {
    return image(kW, kH, [i](int x, int y) { return std::array{x * 5, y * 7, i * 40, 255}; });
  };
  // The reference: each composite drawn on its own and read back at once.
  std::vector<std::vector<uint8_t>> reference;
  {
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, kW, kH});
    view->setContentsScale(1);
    view->loadMaskTexture(mask);
    glOf(*view).setReadsBackAsynchronously(false);
    for (int i = 1; i <= kFrames; ++i) {
      const Picture p = draw(*view, background(i), kW, kH, head, 16, 16, rect);
      ASSERT_EQ(p.width, kW);
      expectNear(p.at(0, kH - 1), {0, (kH - 1) * 7, i * 40, 255}, 1, "background");
      expectNear(p.at(9, 14), {0, 100, 200, 255}, 2, "head");
      reference.push_back(p.rgba);
    }
    orsa::test::finish(*view);
  }

  for (const bool asynchronously : {true, false}) {
    SCOPED_TRACE(asynchronously ? "pack buffers" : "read back at once");
    auto view = OrsaPreviewView::create(OrsaRect{0, 0, kW, kH});
    view->setContentsScale(1);
    view->loadMaskTexture(mask);
    auto& gl = glOf(*view);
    gl.setReadsBackAsynchronously(asynchronously);
    EXPECT_EQ(gl.readsBackAsynchronously(), asynchronously);
    struct Got {
      uint64_t sequence;
      int64_t receiveTime;
      std::vector<uint8_t> rgba;
    };
    std::mutex m;
    std::condition_variable cv;
    std::vector<Got> got;
    int draws = 0;
    bool released = false;
    std::vector<size_t> seenAtDraw;  // pictures the sink had when each draw was done
    view->setPresentationSink([&](const OrsaPicture& p) {
      std::lock_guard<std::mutex> lock(m);
      got.push_back({p.sequence, p.receiveTime, {p.rgba, p.rgba + size_t(p.stride) * p.height}});
    });
    auto& core = OrsaPreviewViewCore::of(*view);
    // After the first draw the consumer waits until four frames are queued; after the fourth it
    // waits for the stop, so the fourth is drawn with the fifth still queued behind it.
    core.setClock({orsa::platform::currentMillis, [&](int64_t) {
                     std::unique_lock<std::mutex> lock(m);
                     seenAtDraw.push_back(got.size());
                     ++draws;
                     if (draws == 1 || draws == 4) cv.wait(lock, [&] { return released; });
                     if (draws == 1) released = false;
                   }});
    auto& pool = BufferPool::sharedInstance();
    const auto queue = [&](int i) {
      const auto bytes = background(i);
      auto f = std::make_shared<OrsaFrameData>();
      auto bg = pool.poll(bytes.size());
      std::copy(bytes.begin(), bytes.end(), bg->begin());
      f->updateOriginFrame(std::move(bg), kW, kH);
      auto roi = pool.poll(head.size());
      std::copy(head.begin(), head.end(), roi->begin());
      f->setRoiData(std::move(roi));
      f->setRoiWidth(16), f->setRoiHeight(16), f->setFps(25);
      f->setLeft(8), f->setTop(6), f->setRight(24), f->setBottom(22);
      f->setSequence(uint64_t(i)), f->setReceiveTime(1000 + i);
      core.update(std::move(f));
    };
    queue(1);
    EXPECT_TRUE(orsa::test::waitUntil([&] {
      std::lock_guard<std::mutex> lock(m);
      return draws == 1;
    }));
    for (int i = 2; i <= kFrames; ++i) queue(i);
    {
      std::lock_guard<std::mutex> lock(m);
      released = true;
    }
    cv.notify_all();
    EXPECT_TRUE(orsa::test::waitUntil([&] {
      std::lock_guard<std::mutex> lock(m);
      return draws == 4;
    }));
    view->stop();
    {
      std::lock_guard<std::mutex> lock(m);
      released = true;
    }
    cv.notify_all();
    orsa::test::finish(*view);

    EXPECT_EQ(view->receivedFrameCount(), 4u);  // the fifth was still queued at the stop
    std::lock_guard<std::mutex> lock(m);
    ASSERT_EQ(got.size(), 4u);
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].sequence, k + 1);
      EXPECT_EQ(got[k].receiveTime, int64_t(1001 + k));
      EXPECT_TRUE(got[k].rgba == reference[k]) << "picture " << k + 1;
    }
    // Nothing was queued behind the first draw, so its picture went at once; each later one
    // waited for the next draw while frames were queued behind it.
    const std::vector<size_t> expected =
        asynchronously ? std::vector<size_t>{1, 1, 2, 3} : std::vector<size_t>{1, 2, 3, 4};
    EXPECT_EQ(seenAtDraw, expected);
  }
}

// A sink replaced while a picture waits for the next draw still gets that picture, before the
// replacement returns; the new sink gets only what is drawn after it.
TEST(GlCompositingTest, AReplacedSinkGetsItsLastPictureBeforeTheNewOneGetsAny) {
  orsa::test::TempDir dir;
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 8, 8});
  auto& gl = glOf(*view);
  std::string error;
  ASSERT_TRUE(gl.loadMaskTexture(writeMask(dir), error)) << error;
  gl.layoutLayer({8, 8}, 1);
  gl.updateViewportForLayerSize({8, 8}, {8, 8});
  gl.createBuffersWithWidth(8, 8, 1, 1, {-50, -50, 1, 1});
  std::vector<std::pair<int, uint64_t>> got;  // (sink, sequence)
  const auto sink = [&](int which) {
    return [&got, which](const OrsaPicture& p) { got.emplace_back(which, p.sequence); };
  };
  gl.setPresentationSink(sink(1));
  for (uint64_t sequence : {1, 2, 3}) {
    const auto bytes = image(8, 8, red);
    auto texture = gl.createHighPerformanceRGBATextureFromBuffer(bytes.data(), 8, 8, 70);
    gl.setNextPictureFrame(sequence, 0);
    ASSERT_TRUE(gl.compositeAndDrawWithSubBuffer(texture, nullptr));
    if (sequence == 2) gl.setPresentationSink(sink(2));
  }
  gl.flushPresentation();
  gl.setPresentationSink(nullptr);
  gl.flushPresentation();
  using Got = std::vector<std::pair<int, uint64_t>>;
  EXPECT_EQ(got, (Got{{1, 1}, {1, 2}, {2, 3}}));
  orsa::test::finish(*view);
}

}  // namespace
