#include "render/BufferPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

bool allBytesAre(const OrsaBuffer& b, uint8_t v) {
  return std::all_of(b->begin(), b->end(), [v](uint8_t x) { return x == v; });
}

TEST(BufferPoolTest, ReusesExactSizesLastInFirstOutWithOldContents) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100);
  OrsaBuffer b = pool.poll(100);
  ASSERT_NE(a->data(), b->data());
  ASSERT_EQ(a->size(), 100u);
  EXPECT_TRUE(allBytesAre(a, 0) && allBytesAre(b, 0));
  std::memset(a->data(), 0x5A, a->size());
  const OrsaByteBuffer* pa = a.get();
  const OrsaByteBuffer* pb = b.get();
  pool.giveBack(std::move(a));
  pool.giveBack(std::move(b));
  EXPECT_EQ(pool.poll(101)->size(), 101u);  // a neighbouring size is a class of its own
  EXPECT_EQ(pool.idleCount(100), 2u);
  EXPECT_EQ(pool.poll(100).get(), pb);
  OrsaBuffer again = pool.poll(100);
  EXPECT_EQ(again.get(), pa);
  EXPECT_TRUE(allBytesAre(again, 0x5A));
  EXPECT_EQ(pool.idleBytes(), 0u);
}

TEST(BufferPoolTest, KeepsOnlyItsOwnBuffersOnce) {
  BufferPool pool;
  BufferPool other;
  OrsaBuffer known = pool.poll(64);  // the bucket exists and knows one buffer
  OrsaBuffer resized = pool.poll(64);
  resized->resize(32);  // shrinking keeps the data area where it was
  const std::pair<const char*, OrsaBuffer> refused[] = {
      {"null", nullptr},
      {"foreign", std::make_shared<OrsaByteBuffer>(64, 0x11)},
      {"another pool's", other.poll(64)},
      {"shrunk", std::move(resized)},
  };
  for (const auto& [what, buffer] : refused) {
    pool.giveBack(buffer);
    EXPECT_EQ(pool.idleBytes(), 0u) << what;
    if (buffer) {
      EXPECT_EQ(buffer.use_count(), 1) << what << " kept by the pool";
    }
  }
  OrsaBuffer fresh = pool.poll(64);
  EXPECT_TRUE(allBytesAre(fresh, 0));

  // Given back twice while idle: kept once, so two polls still get two buffers.
  pool.giveBack(known);
  pool.giveBack(known);
  EXPECT_EQ(pool.idleCount(64), 1u);
  EXPECT_NE(pool.poll(64), pool.poll(64));
}

TEST(BufferPoolTest, ClearRetiresBuffersLentBeforeIt) {
  BufferPool pool;
  OrsaBuffer lent = pool.poll(256);
  pool.giveBack(pool.poll(256));
  ASSERT_EQ(pool.idleBytes(), 256u);

  pool.clear();
  EXPECT_EQ(pool.bucketCount(), 0u);
  EXPECT_EQ(pool.idleBytes(), 0u);
  pool.giveBack(lent);
  EXPECT_EQ(lent.use_count(), 1);
  OrsaBuffer after = pool.poll(256);
  EXPECT_NE(after, lent);
  EXPECT_TRUE(allBytesAre(after, 0));
  // Buffers created after the clear are pooled as usual.
  pool.giveBack(std::move(after));
  EXPECT_EQ(pool.idleCount(256), 1u);
}

TEST(BufferPoolTest, IdleBoundsKeepTheMostRecentlyUsed) {
  BufferPool pool;
  pool.setIdleLimits(2, 1 << 20);
  std::vector<OrsaBuffer> lent;
  for (int i = 0; i < 4; ++i) lent.push_back(pool.poll(10));
  for (auto& b : lent) pool.giveBack(b);
  EXPECT_EQ(pool.idleBytes(), 20u);
  EXPECT_EQ(pool.poll(10), lent[3]);  // the two returned last, newest first
  EXPECT_EQ(pool.poll(10), lent[2]);

  // Lowering the bound trims what is already idle.
  pool.setIdleLimits(8, 1 << 20);
  for (auto& b : lent) pool.giveBack(b);
  pool.setIdleLimits(1, 1 << 20);
  EXPECT_EQ(pool.idleCount(10), 1u);
  EXPECT_EQ(pool.poll(10), lent[3]);

  // Past the byte bound the size used least recently pays.
  pool.setIdleLimits(16, 300);
  OrsaBuffer a1 = pool.poll(100), a2 = pool.poll(100), c = pool.poll(60), b = pool.poll(150);
  for (auto* x : {&a1, &a2, &c}) pool.giveBack(*x);
  EXPECT_EQ(pool.idleBytes(), 260u);
  pool.giveBack(b);
  EXPECT_EQ(pool.idleCount(100), 0u);
  EXPECT_EQ(pool.idleCount(60), 1u);
  EXPECT_EQ(pool.idleCount(150), 1u);
  // A buffer larger than the whole bound is never kept and evicts nothing.
  pool.giveBack(pool.poll(301));
  EXPECT_EQ(pool.idleBytes(), 210u);
}

// Producers and consumers with clears and bound changes in between: a buffer is never lent to
// two holders at once, a holder's contents survive until it returns the buffer, and the
// idle-byte count matches the idle stacks afterwards.
TEST(BufferPoolTest, ConcurrentPollGiveBackAndClear) {
  BufferPool pool;
  pool.setIdleLimits(4, 4096);
  const std::vector<uint64_t> sizes = {64, 200, 1000, 1500};
  std::mutex inUseLock;
  std::set<const OrsaByteBuffer*> inUse;
  std::atomic<int> doubleLends{0}, corrupted{0};
  std::atomic<bool> stop{false};

  auto release = [&](OrsaBuffer b) {
    {
      std::lock_guard<std::mutex> g(inUseLock);
      inUse.erase(b.get());
    }
    pool.giveBack(std::move(b));
  };
  auto worker = [&](int id) {
    std::mt19937 rng(static_cast<uint32_t>(id) * 7919u);
    std::vector<OrsaBuffer> held;
    for (int iter = 0; iter < 3000; ++iter) {
      if (held.size() < 3 && (rng() % 2 == 0 || held.empty())) {
        OrsaBuffer b = pool.poll(sizes[rng() % sizes.size()]);
        {
          std::lock_guard<std::mutex> g(inUseLock);
          if (!inUse.insert(b.get()).second) doubleLends++;
        }
        std::memset(b->data(), id + 1, b->size());
        held.push_back(std::move(b));
      } else {
        const size_t k = rng() % held.size();
        OrsaBuffer b = std::move(held[k]);
        held.erase(held.begin() + static_cast<long>(k));
        if (!allBytesAre(b, static_cast<uint8_t>(id + 1))) corrupted++;
        release(std::move(b));
      }
    }
    for (auto& b : held) release(std::move(b));
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

  EXPECT_EQ(doubleLends.load(), 0);
  EXPECT_EQ(corrupted.load(), 0);
  uint64_t counted = 0;
  for (uint64_t s : sizes) {
    EXPECT_LE(pool.idleCount(s), pool.maxIdlePerSize());
    counted += s * pool.idleCount(s);
  }
  EXPECT_EQ(pool.idleBytes(), counted);
  EXPECT_LE(pool.idleBytes(), pool.maxIdleBytes());
}

}  // namespace
