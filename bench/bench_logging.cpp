// Logging throughput: lines through the facade into the scrambled rotating file, beside the
// same lines through spdlog's own rotating file sink with its default pattern; and the cost
// of a sampled call that writes nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "logging/OrsaLoggerWrapper.h"
#include "logging/QMXLogUtil.h"
#include "platform/AppContainer.h"

namespace fs = std::filesystem;

namespace {

fs::path gDir;
const std::string kModule = "OrsaPreviewView";

void BM_OrsaLogTraceInfo(benchmark::State& state) {
  auto& log = QMXLogUtil::sharedInstance();
  uint64_t i = 0;
  for (auto _ : state) {
    log.logTraceInfo(kModule, __FILE__, __func__, __LINE__, kQMXLogTag,
                     "draw frame %llu, queue size: %d, cost %d ms",
                     static_cast<unsigned long long>(i), 3, 12);
    ++i;
  }
  OrsaLoggerWrapper::getInstance().flush();
  state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogRotatingFileSink(benchmark::State& state) {
  auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
      (gDir / "spdlog" / "spdlog.txt").string(), 20971520, 3);
  spdlog::logger logger("bench", sink);
  logger.set_level(spdlog::level::debug);
  uint64_t i = 0;
  for (auto _ : state) {
    // The same text the facade writes: module prefix and the formatted message.
    logger.info("[{}] draw frame {}, queue size: {}, cost {} ms", kModule, i, 3, 12);
    ++i;
  }
  logger.flush();
  state.SetItemsProcessed(state.iterations());
}

void BM_LogTraceSampSkipped(benchmark::State& state) {
  auto& log = QMXLogUtil::sharedInstance();
  uint64_t i = 1;
  for (auto _ : state) {
    log.logTraceSamp(kModule, i, __FILE__, __func__, __LINE__, kQMXLogTag, "frame %llu",
                     static_cast<unsigned long long>(i));
    i = i % 119 + 1;  // never a multiple of 120
    benchmark::ClobberMemory();
  }
}

BENCHMARK(BM_OrsaLogTraceInfo)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SpdlogRotatingFileSink)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LogTraceSampSkipped);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end()) rates[r.benchmark_name()] = it->second.value;
      if (r.benchmark_name().find("Samp") != std::string::npos)
        sampNs = r.GetAdjustedRealTime();  // time unit: ns
    }
  }
  std::map<std::string, double> rates;
  double sampNs = 0;
};

}  // namespace

int main(int argc, char** argv) {
  gDir = fs::temp_directory_path() / ("orsa-bench-logging-" + std::to_string(getpid()));
  fs::create_directories(gDir / "spdlog");
  orsa::platform::AppContainer::setRoot(gDir.string());
  // The facade echoes info lines to the system console; keep the terminal quiet and the
  // cost honest by sending that echo to /dev/null rather than dropping it.
  int savedErr = dup(STDERR_FILENO);
  int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, STDERR_FILENO);

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  dup2(savedErr, STDERR_FILENO);
  double ours = reporter.rates["BM_OrsaLogTraceInfo/min_time:2.000/real_time"];
  double theirs = reporter.rates["BM_SpdlogRotatingFileSink/min_time:2.000/real_time"];
  if (ours > 0 && theirs > 0) {
    std::printf(
        "\nlogTraceInfo: %.0f lines/s, spdlog rotating_file_sink_mt: %.0f lines/s, "
        "ratio %.2f (goal >= 0.70)\n",
        ours, theirs, ours / theirs);
  }
  std::printf("logTraceSamp without output: %.1f ns per call (goal <= 50 ns)\n", reporter.sampNs);
  std::error_code ec;
  fs::remove_all(gDir, ec);
  return 0;
}
