// readOriginFrame of a 1080×1920 frame against a bare tjDecompress2 of the same file, in one
// process. The frame is encoded as extraction writes frames (4:4:4, quality 80, accurate
// DCT) from a textured picture so the entropy decoder has real work to do.
//
// After the benchmarks the program prints the ratio readOriginFrame / bare decode.

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/AppContainer.h"
#include "render/BufferPool.h"
#include "utils/ResourceManager.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1080;
constexpr int kHeight = 1920;

struct Fixture {
  fs::path dir;
  std::string jpeg;
  std::shared_ptr<ResourceManager> manager;

  Fixture() {
    char templ[] = "/tmp/orsa-bench-frame-store-XXXXXX";
    if (!::mkdtemp(templ)) std::abort();
    dir = templ;
    orsa::platform::AppContainer::setRoot((dir / "home").string());
    fs::create_directories(dir / "frames");

    // Smooth shapes plus fine texture, roughly what a person in front of a background gives.
    std::vector<uint8_t> rgba(size_t{kWidth} * kHeight * 4);
    uint32_t noise = 12345;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        noise = noise * 1664525u + 1013904223u;
        uint8_t* p = &rgba[(size_t{uint32_t(y)} * kWidth + x) * 4];
        double body = std::exp(-(std::pow((x - 540.0) / 260, 2) + std::pow((y - 1200.0) / 600, 2)));
        p[0] = uint8_t(60 + 150 * body + ((noise >> 24) & 15));
        p[1] = uint8_t(90 + 80 * std::sin(x / 37.0) * std::cos(y / 53.0) + ((noise >> 16) & 15));
        p[2] = uint8_t(120 + 100 * body * std::sin(y / 11.0) + ((noise >> 8) & 7));
        p[3] = 255;
      }
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgba.data(), kWidth, 0, kHeight, TJPF_RGBA, &out, &size, TJSAMP_444, 80,
                    TJFLAG_ACCURATEDCT) != 0)
      std::abort();
    jpeg.assign(reinterpret_cast<char*>(out), size);
    tjFree(out);
    tjDestroy(tj);
    std::ofstream(dir / "frames" / "000000.jpg", std::ios::binary) << jpeg;

    manager = ResourceManager::create();
    manager->setOriginFramesDir((dir / "frames").string());
  }
  ~Fixture() {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_ReadOriginFrame(benchmark::State& state) {
  auto& f = fixture();
  for (auto _ : state) {
    auto img = f.manager->readOriginFrame(0);
    if (!img) state.SkipWithError("no frame");
    benchmark::DoNotOptimize(img->bytes());
    // As the view does after drawing: the buffer goes back for the next frame.
    BufferPool::sharedInstance().giveBack(img->data());
  }
  state.SetLabel(std::to_string(f.jpeg.size()) + " byte JPEG");
  // One per reading thread: a count growing with the iterations means a handle per frame.
  state.counters["decompressors"] = static_cast<double>(ResourceManager::decompressorsCreated());
}

void BM_BareTjDecompress2(benchmark::State& state) {
  auto& f = fixture();
  tjhandle h = tjInitDecompress();
  std::vector<uint8_t> out(size_t{kWidth} * kHeight * 4);
  const auto* bytes = reinterpret_cast<const unsigned char*>(f.jpeg.data());
  for (auto _ : state) {
    if (tjDecompress2(h, bytes, f.jpeg.size(), out.data(), kWidth, 0, kHeight, TJPF_RGBA,
                      TJFLAG_ACCURATEDCT) != 0)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  tjDestroy(h);
}

BENCHMARK(BM_ReadOriginFrame)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_BareTjDecompress2)->Unit(benchmark::kMillisecond)->MinTime(2.0)->Repetitions(3);

// Keeps the median of each benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs)
      if (r.aggregate_name == "median") {
        medians[r.run_name.function_name] = r.GetAdjustedRealTime();
        cpuMedians[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
  std::map<std::string, double> cpuMedians;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ours = reporter.medians.find("BM_ReadOriginFrame");
  auto bare = reporter.medians.find("BM_BareTjDecompress2");
  if (ours != reporter.medians.end() && bare != reporter.medians.end() && bare->second > 0)
    std::printf("readOriginFrame / bare tjDecompress2 (median wall): %.3f ms / %.3f ms = %.3fx\n",
                ours->second, bare->second, ours->second / bare->second);
  // On a busy machine wall time mostly measures the scheduler; CPU time is the steadier figure.
  const double oursCpu = reporter.cpuMedians["BM_ReadOriginFrame"];
  const double bareCpu = reporter.cpuMedians["BM_BareTjDecompress2"];
  if (bareCpu > 0)
    std::printf("readOriginFrame / bare tjDecompress2 (median CPU): %.3f ms / %.3f ms = %.3fx\n",
                oursCpu, bareCpu, oursCpu / bareCpu);
  benchmark::Shutdown();
  return 0;
}
