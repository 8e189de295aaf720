// The preview view's drawing cost on this machine's GL (llvmpipe where there is no GPU).
//
//  - BM_ViewDrawStep: the view's whole draw step (two uploads, viewport, parameter buffers,
//    one render pass, present) for a 1080x1920 background and a 512x640 head into a 540x960@2
//    layer, waiting for the GPU after each frame.
//  - BM_BareUploadDraw, the peer: the same two uploads and the same shader into a framebuffer of
//    the same size, written directly against GL with storage allocated once, then glFinish.
//  - BM_ConsumerLoop: frames through update() and the consumer thread with fps 0 and no mask,
//    so nothing is drawn: the queue, the signals, the pacing and the size checks themselves.
//  - BM_PresentToSink/1 and /2: what a host that takes pixels pays. 1080x1920 frames through
//    update() and the consumer thread (fps 0, so as fast as the view can go) into a 540x960@1 or
//    @2 layer with a presentation sink set; every picture must reach the sink, in order. The CPU
//    column is the whole process's (llvmpipe's threads included) per presented picture.
//
// The ratio of the first two is printed at the end (the draw step may cost at most 1.15 times
// the bare one).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <unistd.h>

#include <GLES3/gl3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "orsa/OrsaConstants.h"
#include "orsa/OrsaPreviewView.h"
#include "platform/Console.h"
#include "render/BufferPool.h"
#include "render/OrsaFrameData.h"
#include "render/OrsaPreviewViewCore.h"
#include "render/gl/EglContext.h"
#include "render/gl/GlRenderBackend.h"
#include "render/gl/PngFile.h"
#include "render/gl/ShaderLibrary.h"

namespace {

constexpr int kBgW = 1080, kBgH = 1920, kHeadW = 512, kHeadH = 640;
const OrsaRect kRect{284, 300, kHeadW, kHeadH};

std::vector<uint8_t> pattern(int w, int h, int seed) {
  std::vector<uint8_t> v(size_t(w) * h * 4);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t((i * 7 + seed) ^ (i >> 12));
  return v;
}

const std::vector<uint8_t>& background() {
  static const auto v = pattern(kBgW, kBgH, 1);
  return v;
}
const std::vector<uint8_t>& head() {
  static const auto v = pattern(kHeadW, kHeadH, 2);
  return v;
}

// A mask with a soft oval, written once per process.
const std::string& maskPath() {
  static const std::string path = [] {
    std::vector<uint8_t> m(size_t(kHeadW) * kHeadH * 4);
    for (int y = 0; y < kHeadH; ++y)
      for (int x = 0; x < kHeadW; ++x) {
        const double dx = (x - kHeadW / 2.0) / (kHeadW * 0.45),
                     dy = (y - kHeadH / 2.0) / (kHeadH * 0.45);
        const double w = std::clamp((1.0 - (dx * dx + dy * dy)) * 4.0, 0.0, 1.0);
        uint8_t* p = &m[(size_t(y) * kHeadW + x) * 4];
        p[0] = p[1] = p[2] = uint8_t(w * 255), p[3] = 255;
      }
    std::string p = "/tmp/orsa-bench-mask-" + std::to_string(getpid()) + ".png";
    std::string error;
    orsa::gl::writePngRGBA(p, m.data(), kHeadW, kHeadH, kHeadW * 4, error);
    return p;
  }();
  return path;
}

void BM_ViewDrawStep(benchmark::State& state) {
  auto view = OrsaPreviewView::create();
  view->setFrame(OrsaRect{0, 0, 540, 960});
  view->setContentsScale(2);
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(
      OrsaPreviewViewCore::of(*view).renderBackend().get());
  if (!gl) return state.SkipWithError("no GL context");
  view->loadMaskTexture(maskPath());
  const uint64_t before = gl->presentedFrameCount();
  for (auto _ : state) {
    view->updateWithImageBuffer(background().data(), kBgW, kBgH, head().data(), kHeadW, kHeadH,
                                kRect);
    gl->finish();
  }
  if (gl->presentedFrameCount() - before != uint64_t(state.iterations())) {
    state.SkipWithError("some frames were not presented");
  }
  state.SetLabel(gl->displayDescription());
  view->stop();
}

void BM_BareUploadDraw(benchmark::State& state) {
  std::string error;
  auto context = orsa::gl::EglContext::create(error);
  if (!context) return state.SkipWithError(error.c_str());
  orsa::gl::EglContext::Scope scope(*context);
  std::ifstream in(std::string(ORSA_BUILD_RESOURCE_DIR) + "/OrsaDigitalHumanShader.glsl");
  std::stringstream text;
  text << in.rdbuf();
  auto library = orsa::gl::ShaderLibrary::parse(text.str(), error);
  if (!library) return state.SkipWithError(error.c_str());
  auto compile = [](GLenum type, const std::string& src) {
    GLuint s = glCreateShader(type);
    const char* p = src.c_str();
    glShaderSource(s, 1, &p, nullptr);
    glCompileShader(s);
    return s;
  };
  GLuint program = glCreateProgram();
  glAttachShader(program,
                 compile(GL_VERTEX_SHADER, library->function("vertexShaderCombine")->source));
  glAttachShader(program, compile(GL_FRAGMENT_SHADER,
                                  library->function("fragmentShaderCombine_Face")->source));
  glBindAttribLocation(program, 0, "position");
  glLinkProgram(program);
  glUseProgram(program);

  const float vertices[16] = {-1, 1, 0, 1, 1, 1, 0, 1, -1, -1, 0, 1, 1, -1, 0, 1};
  GLuint vao, vbo;
  glGenVertexArrays(1, &vao);
  glBindVertexArray(vao);
  glGenBuffers(1, &vbo);
  glBindBuffer(GL_ARRAY_BUFFER, vbo);
  glBufferData(GL_ARRAY_BUFFER, sizeof vertices, vertices, GL_STATIC_DRAW);
  glEnableVertexAttribArray(0);
  glVertexAttribPointer(0, 4, GL_FLOAT, GL_FALSE, 16, nullptr);

  const float blocks[3][4] = {{kBgW, kBgH, 0, 0},
                              {kHeadW, kHeadH, 0, 0},
                              {float(kRect.x / kBgW), float(kRect.y / kBgH),
                               float(kRect.width / kBgW), float(kRect.height / kBgH)}};
  const char* names[3] = {"LargeSize", "SubSize", "SubRect"};
  GLuint ubo[3];
  glGenBuffers(3, ubo);
  for (GLuint i = 0; i < 3; ++i) {
    glUniformBlockBinding(program, glGetUniformBlockIndex(program, names[i]), i);
    glBindBuffer(GL_UNIFORM_BUFFER, ubo[i]);
    glBufferData(GL_UNIFORM_BUFFER, 16, blocks[i], GL_STATIC_DRAW);
    glBindBufferBase(GL_UNIFORM_BUFFER, i, ubo[i]);
  }

  std::vector<uint8_t> mask;
  int32_t mw = 0, mh = 0;
  orsa::gl::readPngRGBA(maskPath(), mask, mw, mh, error);
  GLuint tex[3];
  glGenTextures(3, tex);
  const int sizes[3][2] = {{kBgW, kBgH}, {kHeadW, kHeadH}, {mw, mh}};
  for (int i = 0; i < 3; ++i) {
    glActiveTexture(GL_TEXTURE0 + i);
    glBindTexture(GL_TEXTURE_2D, tex[i]);
    glTexStorage2D(GL_TEXTURE_2D, 1, GL_RGBA8, sizes[i][0], sizes[i][1]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    glUniform1i(glGetUniformLocation(program, ("texture" + std::to_string(i)).c_str()), i);
  }
  glBindTexture(GL_TEXTURE_2D, tex[1]);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_R, GL_BLUE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_SWIZZLE_B, GL_RED);
  glBindTexture(GL_TEXTURE_2D, tex[2]);
  glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, mw, mh, GL_RGBA, GL_UNSIGNED_BYTE, mask.data());

  GLuint target, fbo;
  glGenTextures(1, &target);
  glBindTexture(GL_TEXTURE_2D, target);
  glTexStorage2D(GL_TEXTURE_2D, 1, GL_RGBA8, 1080, 1920);
  glGenFramebuffers(1, &fbo);
  glBindFramebuffer(GL_FRAMEBUFFER, fbo);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, target, 0);
  glViewport(0, 0, 1080, 1920);
  glEnable(GL_BLEND);
  glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);

  for (auto _ : state) {
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, tex[0]);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kBgW, kBgH, GL_RGBA, GL_UNSIGNED_BYTE,
                    background().data());
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, tex[1]);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, kHeadW, kHeadH, GL_RGBA, GL_UNSIGNED_BYTE,
                    head().data());
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glFinish();
  }
}

void BM_ConsumerLoop(benchmark::State& state) {
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 64, 64});
  auto& pool = BufferPool::sharedInstance();
  const uint64_t start = view->receivedFrameCount();
  uint64_t sent = 0;
  for (auto _ : state) {
    while (view->queuedFrameCount() >= size_t(MAX_RENDER_QUEUE_SIZE)) std::this_thread::yield();
    auto f = std::make_shared<OrsaFrameData>();
    f->updateOriginFrame(pool.poll(64 * 64 * 4), 64, 64);
    f->setRoiData(pool.poll(16 * 16 * 4));
    f->setRoiWidth(16), f->setRoiHeight(16), f->setFps(0);
    f->setLeft(8), f->setTop(8), f->setRight(24), f->setBottom(24);
    OrsaPreviewViewCore::of(*view).update(std::move(f));
    ++sent;
  }
  while (view->receivedFrameCount() - start < sent && view->queuedFrameCount() > 0) {
    std::this_thread::yield();
  }
  state.counters["frames/s"] =
      benchmark::Counter(double(view->receivedFrameCount() - start), benchmark::Counter::kIsRate);
  view->stopAndWait(std::chrono::milliseconds(1500));
}

void BM_PresentToSink(benchmark::State& state) {
  const double scale = double(state.range(0));
  auto view = OrsaPreviewView::create(OrsaRect{0, 0, 540, 960});
  view->setContentsScale(scale);
  auto& core = OrsaPreviewViewCore::of(*view);
  auto* gl = dynamic_cast<orsa::gl::GlRenderBackend*>(core.renderBackend().get());
  if (!gl) return state.SkipWithError("no GL context");
  view->loadMaskTexture(maskPath());
  std::atomic<uint64_t> pictures{0}, outOfOrder{0}, lastSequence{0};
  std::atomic<uint32_t> checksum{0};
  view->setPresentationSink([&](const OrsaPicture& p) {
    // A host reads what it gets: one byte a row keeps the copy-out honest.
    uint32_t sum = 0;
    for (int32_t y = 0; y < p.height; ++y) sum += p.rgba[size_t(y) * p.stride + 4 * (y % p.width)];
    checksum += sum;
    if (p.sequence <= lastSequence.exchange(p.sequence)) ++outOfOrder;
    ++pictures;
  });
  auto& pool = BufferPool::sharedInstance();
  const uint64_t allocationsBefore = BufferPool::allocationCount();
  uint64_t sent = 0;
  for (auto _ : state) {
    // Sleeps rather than spins: the process's CPU is what is measured.
    while (view->queuedFrameCount() >= size_t(MAX_RENDER_QUEUE_SIZE)) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    auto f = std::make_shared<OrsaFrameData>();
    auto bg = pool.poll(uint64_t(kBgW) * kBgH * 4);
    auto hd = pool.poll(uint64_t(kHeadW) * kHeadH * 4);
    std::copy(background().begin(), background().end(), bg->begin());
    std::copy(head().begin(), head().end(), hd->begin());
    f->updateOriginFrame(std::move(bg), kBgW, kBgH);
    f->setRoiData(std::move(hd));
    f->setRoiWidth(kHeadW), f->setRoiHeight(kHeadH), f->setFps(0);
    f->setLeft(int64_t(kRect.x)), f->setTop(int64_t(kRect.y));
    f->setRight(int64_t(kRect.x + kRect.width)), f->setBottom(int64_t(kRect.y + kRect.height));
    f->setSequence(core.nextSequence());
    core.update(std::move(f));
    ++sent;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pictures.load() + view->droppedFrameCount() < sent &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  view->setPresentationSink(nullptr);
  view->stopAndWait(std::chrono::milliseconds(1500));
  if (pictures.load() != sent || outOfOrder.load() != 0) {
    state.SkipWithError("some pictures did not reach the sink, or came out of order");
  }
  state.counters["pictures/s"] = benchmark::Counter(double(pictures), benchmark::Counter::kIsRate);
  state.counters["pool allocs/frame"] = double(BufferPool::allocationCount() - allocationsBefore) /
                                        double(std::max<uint64_t>(sent, 1));
  state.SetLabel(fmt::format("540x960@{} {}", state.range(0), gl->displayDescription()));
}

// Keeps each run's time per iteration so main can print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> nsPerIteration;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) nsPerIteration[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

BENCHMARK(BM_ViewDrawStep)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareUploadDraw)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ConsumerLoop)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PresentToSink)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->MinTime(3.0);

int main(int argc, char** argv) {
  setenv("LP_NUM_THREADS", "2", 0);
  orsa::platform::consoleSetEnabled(false);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto& t = reporter.nsPerIteration;
  if (t.count("BM_ViewDrawStep/min_time:2.000/real_time") &&
      t.count("BM_BareUploadDraw/min_time:2.000/real_time")) {
    const double view = t["BM_ViewDrawStep/min_time:2.000/real_time"];
    const double bare = t["BM_BareUploadDraw/min_time:2.000/real_time"];
    std::printf("draw step %.2f ms, bare upload-draw-finish %.2f ms: ratio %.3f (at most 1.15)\n",
                view, bare, view / bare);
  }
  std::remove(maskPath().c_str());
  benchmark::Shutdown();
}
