// Buffer pool throughput, and proof that steady frame streaming allocates nothing once warm.
//
// Every allocation of the process goes through the counting operator new below, so the
// streaming benchmark can report how many happened after its warm-up frames.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "render/BufferPool.h"
#include "render/OrsaFrameData.h"

namespace {
std::atomic<uint64_t> gAllocations{0};
std::atomic<uint64_t> gAllocatedBytes{0};

void* countedAlloc(std::size_t n, std::size_t align) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gAllocatedBytes.fetch_add(n, std::memory_order_relaxed);
  if (n == 0) n = 1;
  void* p = align > alignof(std::max_align_t)
                ? std::aligned_alloc(align, (n + align - 1) / align * align)
                : std::malloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t n) {
  return countedAlloc(n, 0);
}
void* operator new[](std::size_t n) {
  return countedAlloc(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a) {
  return countedAlloc(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return countedAlloc(n, static_cast<std::size_t>(a));
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(n, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return countedAlloc(n, 0);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

constexpr uint64_t kBackgroundBytes = 1080ull * 1920 * 4;  // RGBA background frame
constexpr int32_t kHeadSide = 512;                         // BGRA head region

// One poll and one give-back of a frame-sized buffer, the pool's hot path.
void BM_PollGiveBack(benchmark::State& state) {
  BufferPool& pool = BufferPool::sharedInstance();
  const uint64_t size = static_cast<uint64_t>(state.range(0));
  pool.giveBack(pool.poll(size));
  for (auto _ : state) {
    OrsaBuffer b = pool.poll(size);
    benchmark::DoNotOptimize(b->data());
    pool.giveBack(b);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollGiveBack)->Arg(kBackgroundBytes)->Arg(kHeadSide* kHeadSide * 4);
BENCHMARK(BM_PollGiveBack)->Arg(kBackgroundBytes)->Threads(2)->UseRealTime();

// Frames as the library streams them: the head copied into a pooled buffer, a pooled background
// buffer, a few frames in flight (the view queues up to five), both buffers returned after the
// draw. After the warm-up frames no allocation may happen at all.
void BM_SteadyStreaming1080x1920(benchmark::State& state) {
  BufferPool& pool = BufferPool::sharedInstance();
  pool.clear();
  constexpr size_t kInFlight = 6;
  constexpr int kWarmupFrames = 64;
  std::vector<uint8_t> head(static_cast<size_t>(kHeadSide) * kHeadSide * 4, 0x40);
  std::array<OrsaFrameData, kInFlight> ring;

  auto oneFrame = [&](uint64_t i) {
    OrsaFrameData& slot = ring[i % kInFlight];
    if (slot.roiData()) {  // the oldest frame has been drawn: give its buffers back
      pool.giveBack(slot.originFrameData());
      pool.giveBack(slot.roiData());
    }
    head[i % head.size()] = static_cast<uint8_t>(i);
    slot.updateROIFrame(head.data(), head.size(), kHeadSide, kHeadSide);
    OrsaBuffer background = pool.poll(kBackgroundBytes);
    (*background)[i % kBackgroundBytes] = static_cast<uint8_t>(i);
    slot.updateOriginFrame(std::move(background), 1080, 1920);
  };

  uint64_t frame = 0;
  for (; frame < kWarmupFrames; ++frame) oneFrame(frame);
  const uint64_t allocsBefore = gAllocations.load();
  const uint64_t bytesBefore = gAllocatedBytes.load();
  for (auto _ : state) {
    oneFrame(frame++);
    benchmark::ClobberMemory();
  }
  const uint64_t allocs = gAllocations.load() - allocsBefore;
  const uint64_t bytes = gAllocatedBytes.load() - bytesBefore;
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs_after_warmup"] = static_cast<double>(allocs);
  state.counters["bytes_after_warmup"] = static_cast<double>(bytes);
  std::fprintf(stderr,
               "steady streaming: %llu frames after warm-up, %llu allocations (%llu bytes)\n",
               static_cast<unsigned long long>(state.iterations()),
               static_cast<unsigned long long>(allocs), static_cast<unsigned long long>(bytes));
  if (allocs != 0) state.SkipWithError("steady streaming allocated memory");
  for (auto& slot : ring) {
    pool.giveBack(slot.originFrameData());
    pool.giveBack(slot.roiData());
  }
  pool.clear();
}
BENCHMARK(BM_SteadyStreaming1080x1920);

}  // namespace

BENCHMARK_MAIN();
