// What a host's RTC thread pays per frame: the facade's frame intake of a 512x640 BGRA head,
// with a running compositing runtime behind it, against a plain memcpy of the same bytes into
// a buffer of the same size. Both run in this one invocation; median and p99 of each and the
// ratios are printed (the intake may take at most 1.5 times the copy at the median and 3 times
// at p99).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "orsa/OrsaMirelo.h"
#include "platform/AppContainer.h"
#include "platform/Console.h"
#include "platform/Dispatch.h"
#include "platform/OrsaBase64.h"
#include "render/BufferPool.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 512, kH = 640, kRuns = 3000, kWarmUp = 200;

struct Percentiles {
  double p50, p99;
};

// `before` runs untimed ahead of each timed `call`.
template <typename B, typename F>
Percentiles measure(B&& before, F&& call) {
  std::vector<double> us;
  for (int i = 0; i < kRuns + kWarmUp; ++i) {
    before(i);
    const auto start = Clock::now();
    call(i);
    const double t = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (i >= kWarmUp) us.push_back(t);
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

}  // namespace

int main() {
  orsa::platform::consoleSetEnabled(false);
  char home[] = "/tmp/orsa-bench-intake-XXXXXX";
  if (!mkdtemp(home)) return 1;
  orsa::platform::AppContainer::setRoot(home);

  std::vector<uint8_t> head(size_t(kW) * kH * 4, 0x5a);
  std::vector<uint8_t> target(head.size());
  const int32_t words[9] = {25, 0, 0, 0, 0, 100, 100, 100 + kW, 100 + kH};
  std::vector<uint8_t> sei(36);
  std::memcpy(sei.data(), words, sizeof words);

  // A compositing runtime whose package is absent: every frame is taken in, copied and posted,
  // and its background read finds nothing, so its buffers go back to the pool.
  auto engine = OrsaMireloFactory::create();
  engine->start(OrsaBase64::encode(R"({"DigitalHumanId":"bench","Streams":[{"RoomId":"r",)"
                                   R"("StreamId":"s","ConfigId":"mobile","PackageUrl":"p.zip"}]})"),
                nullptr);
  const uint8_t* planes[] = {head.data()};
  const uint32_t lengths[] = {uint32_t(head.size())};
  QMXVideoFrameParam param;
  param.setWidth(kW);
  param.setHeight(kH);

  // Both get the same pause before each call, as frames arriving at a real rate do, so the
  // read queue keeps up and neither runs with caches warmer than the other's.
  auto pause = [](int) { std::this_thread::sleep_for(std::chrono::microseconds(300)); };
  const Percentiles copy = measure(pause, [&](int i) {
    head[0] = uint8_t(i);
    std::memcpy(target.data(), head.data(), head.size());
  });
  const Percentiles intake = measure(
      [&](int i) {
        pause(i);
        engine->onPlayerSyncRecvSEI("s", sei);
      },
      [&](int) { engine->onRemoteVideoFrameRawData(planes, lengths, param, "s"); });
  engine->stop();

  std::printf("memcpy of %d bytes: p50 %.1f us, p99 %.1f us\n", kW * kH * 4, copy.p50, copy.p99);
  std::printf("frame intake:        p50 %.1f us, p99 %.1f us\n", intake.p50, intake.p99);
  std::printf("ratio: p50 %.2f (at most 1.5), p99 %.2f (at most 3)\n", intake.p50 / copy.p50,
              intake.p99 / copy.p99);
  std::filesystem::remove_all(home);
  return 0;
}
