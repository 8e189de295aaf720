#include "render/BufferPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

bool allBytesAre(const OrsaBuffer& b, uint8_t v) {
  return std::all_of(b->begin(), b->end(), [v](uint8_t x) { return x == v; });
}

TEST(BufferPoolTest, ReusesExactSizesLastInFirstOutWithOldContents) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100), b = pool.poll(100);
  ASSERT_NE(a, b);
  EXPECT_EQ(a->size(), 100u);
  EXPECT_TRUE(allBytesAre(a, 0));
  EXPECT_TRUE(allBytesAre(b, 0));
  std::memset(a->data(), 0x5A, a->size());
  const OrsaBuffer pa = a, pb = b;
  pool.giveBack(std::move(a));
  pool.giveBack(std::move(b));
  EXPECT_EQ(pool.poll(101)->size(), 101u);  // a neighbouring size is a class of its own
  EXPECT_EQ(pool.poll(100), pb);
  EXPECT_EQ(pool.poll(100), pa);
  EXPECT_TRUE(allBytesAre(pa, 0x5A));
}

TEST(BufferPoolTest, KeepsOnlyItsOwnBuffersOnce) {
  BufferPool pool, other;
  OrsaBuffer lentBeforeClear = pool.poll(64);
  pool.giveBack(pool.poll(64));
  pool.clear();  // retires idle and lent buffers alike
  EXPECT_EQ(pool.idleBytes(), 0u);
  OrsaBuffer known = pool.poll(64);
  EXPECT_TRUE(allBytesAre(known, 0));
  OrsaBuffer resized = pool.poll(64);
  resized->resize(32);  // shrinking keeps the data area where it was
  const std::pair<const char*, OrsaBuffer> refused[] = {
      {"null", nullptr},
      {"foreign", std::make_shared<OrsaByteBuffer>(64, 0x11)},
      {"another pool's", other.poll(64)},
      {"shrunk", std::move(resized)},
      {"lent before the clear", std::move(lentBeforeClear)},
  };
  for (const auto& [what, buffer] : refused) {
    pool.giveBack(buffer);
    EXPECT_EQ(pool.idleBytes(), 0u) << what;
    EXPECT_LE(buffer.use_count(), 1) << what << " kept by the pool";
  }
  // Given back twice while idle: kept once, so two polls still get two buffers.
  pool.giveBack(known);
  pool.giveBack(known);
  EXPECT_EQ(pool.idleCount(64), 1u);
  EXPECT_NE(pool.poll(64), pool.poll(64));
}

// Producers and consumers with clears and bound changes in between: a buffer is never lent to
// two holders at once, a holder's contents survive until it returns the buffer, and the idle
// stacks stay within their bounds and match the idle-byte count.
TEST(BufferPoolTest, ConcurrentPollGiveBackAndClear) {
  BufferPool pool;
  pool.setIdleLimits(4, 4096);
  const uint64_t sizes[] = {64, 200, 1000, 1500};
  std::atomic<int> faults{0};
  std::atomic<bool> stop{false};
  auto worker = [&](int id) {
    std::mt19937 rng(static_cast<uint32_t>(id) * 7919u);
    std::vector<OrsaBuffer> held;
    for (int iter = 0; iter < 3000 || !held.empty(); ++iter) {
      if (iter < 3000 && held.size() < 3 && (rng() % 2 == 0 || held.empty())) {
        OrsaBuffer b = pool.poll(sizes[rng() % 4]);
        std::memset(b->data(), id + 1, b->size());
        held.push_back(std::move(b));
      } else {
        OrsaBuffer b = std::move(held.back());
        held.pop_back();
        // Another holder's bytes mean the buffer was lent twice.
        if (!allBytesAre(b, static_cast<uint8_t>(id + 1))) faults++;
        pool.giveBack(std::move(b));
      }
    }
  };
  std::thread clearer([&] {
    for (int n = 1; !stop.load(); ++n) {
      if (n % 3 == 0) pool.setIdleLimits(4, 4096);  // trims under the map lock
      pool.clear();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(worker, i);
  for (auto& t : threads) t.join();
  stop = true;
  clearer.join();
  EXPECT_EQ(faults.load(), 0);
  uint64_t counted = 0;
  for (uint64_t s : sizes) {
    EXPECT_LE(pool.idleCount(s), 4u);
    counted += s * pool.idleCount(s);
  }
  EXPECT_EQ(pool.idleBytes(), counted);
  EXPECT_LE(counted, 4096u);
}

}  // namespace
