// Frame extraction (video -> numbered JPEG files).
//
//   bench_extract --once VIDEO OUTDIR [ENCODERS]   one extraction, for timing against peers
//   bench_extract --video=VIDEO [benchmark flags]  Google Benchmark runs by encoder count
//
// bench/compare-extract.sh makes the video with `orsa sample-package` and compares with ffmpeg.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "utils/DataCodec.h"

namespace fs = std::filesystem;

namespace {

std::string gVideo;

void clearDir(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
}

void BM_Extract(benchmark::State& state) {
  fs::path out = fs::temp_directory_path() / ("orsa-bench-extract-" + std::to_string(getpid()));
  OrsaMirelo::ExtractOptions options;
  options.encoders = static_cast<int>(state.range(0));
  OrsaMirelo::ExtractStats stats;
  for (auto _ : state) {
    state.PauseTiming();
    clearDir(out);
    state.ResumeTiming();
    if (!OrsaMirelo::extractVideoFramesToDirectory(gVideo, out.string(), options, &stats)) {
      state.SkipWithError("extraction failed");
      break;
    }
  }
  state.counters["frames"] = static_cast<double>(stats.writtenCount);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(stats.writtenCount),
                                             benchmark::Counter::kIsIterationInvariantRate);
  std::error_code ec;
  fs::remove_all(out, ec);
}

int runOnce(const std::string& video, const std::string& outDir, int encoders) {
  std::error_code ec;
  fs::create_directories(outDir, ec);
  OrsaMirelo::ExtractOptions options;
  options.encoders = encoders;
  OrsaMirelo::ExtractStats stats;
  auto t0 = std::chrono::steady_clock::now();
  bool ok = OrsaMirelo::extractVideoFramesToDirectory(video, outDir, options, &stats);
  auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0);
  std::printf("extracted %llu frames with %d encoders in %.1f ms (peak %d frames in flight)\n",
              static_cast<unsigned long long>(stats.writtenCount), stats.encoders, ms.count(),
              stats.peakFramesInFlight);
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--once") == 0)
    return runOnce(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 0);
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--video=", 8) == 0)
      gVideo = argv[i] + 8;
    else
      rest.push_back(argv[i]);
  }
  if (gVideo.empty()) {
    std::fprintf(stderr,
                 "bench_extract: no --video=PATH given (make one with `orsa sample-package` or "
                 "run bench/compare-extract.sh)\n");
    return 0;
  }
  benchmark::RegisterBenchmark("BM_Extract", BM_Extract)
      ->ArgName("encoders")
      ->Arg(1)
      ->Arg(2)
      ->Arg(3)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
