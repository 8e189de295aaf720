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

TEST(BufferPoolTest, ReusesTheSameBufferWithItsOldContents) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100);
  ASSERT_TRUE(a);
  ASSERT_EQ(a->size(), 100u);
  EXPECT_TRUE(allBytesAre(a, 0));
  std::memset(a->data(), 0x5A, a->size());
  const uint8_t* data = a->data();
  pool.giveBack(a);
  a.reset();

  OrsaBuffer again = pool.poll(100);
  EXPECT_EQ(again->data(), data);
  EXPECT_TRUE(allBytesAre(again, 0x5A));
  EXPECT_EQ(pool.idleCount(100), 0u);
}

TEST(BufferPoolTest, HandsOutDistinctBuffersAndReusesLastInFirstOut) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100);
  OrsaBuffer b = pool.poll(100);
  ASSERT_NE(a->data(), b->data());
  EXPECT_TRUE(allBytesAre(a, 0));
  EXPECT_TRUE(allBytesAre(b, 0));
  const OrsaByteBuffer* pa = a.get();
  const OrsaByteBuffer* pb = b.get();
  pool.giveBack(a);
  pool.giveBack(b);
  a.reset();
  b.reset();
  EXPECT_EQ(pool.idleCount(100), 2u);
  EXPECT_EQ(pool.poll(100).get(), pb);
  EXPECT_EQ(pool.poll(100).get(), pa);
}

TEST(BufferPoolTest, SizesAreExactClasses) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100);
  pool.giveBack(a);
  OrsaBuffer b = pool.poll(101);
  EXPECT_EQ(b->size(), 101u);
  EXPECT_NE(b.get(), a.get());
  OrsaBuffer c = pool.poll(99);
  EXPECT_EQ(c->size(), 99u);
  EXPECT_EQ(pool.idleCount(100), 1u);
  EXPECT_EQ(pool.bucketCount(), 3u);
}

TEST(BufferPoolTest, DropsBuffersItDidNotCreate) {
  BufferPool pool;
  OrsaBuffer keep = pool.poll(64);  // the bucket exists and knows one buffer
  auto foreign = std::make_shared<OrsaByteBuffer>(64, 0x11);
  pool.giveBack(foreign);
  EXPECT_EQ(pool.idleCount(64), 0u);
  EXPECT_EQ(foreign.use_count(), 1);  // the pool kept no reference
  OrsaBuffer fresh = pool.poll(64);
  EXPECT_NE(fresh.get(), foreign.get());
  EXPECT_TRUE(allBytesAre(fresh, 0));

  // Another pool's buffer is just as foreign.
  BufferPool other;
  pool.giveBack(other.poll(64));
  EXPECT_EQ(pool.idleCount(64), 0u);
}

TEST(BufferPoolTest, IgnoresNull) {
  BufferPool pool;
  pool.giveBack(nullptr);
  EXPECT_EQ(pool.bucketCount(), 0u);
  EXPECT_EQ(pool.idleBytes(), 0u);
}

TEST(BufferPoolTest, ClearRetiresBuffersLentBeforeIt) {
  BufferPool pool;
  OrsaBuffer lent = pool.poll(256);
  OrsaBuffer idle = pool.poll(256);
  pool.giveBack(idle);
  idle.reset();
  ASSERT_EQ(pool.idleBytes(), 256u);

  pool.clear();
  EXPECT_EQ(pool.bucketCount(), 0u);
  EXPECT_EQ(pool.idleBytes(), 0u);

  pool.giveBack(lent);
  EXPECT_EQ(pool.idleCount(256), 0u);
  EXPECT_EQ(lent.use_count(), 1);
  OrsaBuffer after = pool.poll(256);
  EXPECT_NE(after.get(), lent.get());
  EXPECT_TRUE(allBytesAre(after, 0));
  // Buffers created after the clear are pooled as usual.
  pool.giveBack(after);
  EXPECT_EQ(pool.idleCount(256), 1u);
}

TEST(BufferPoolTest, GivingBackTwiceDoesNotLendOneBufferTwice) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(32);
  pool.giveBack(a);
  pool.giveBack(a);
  EXPECT_EQ(pool.idleCount(32), 1u);
  OrsaBuffer x = pool.poll(32);
  OrsaBuffer y = pool.poll(32);
  EXPECT_NE(x.get(), y.get());
}

TEST(BufferPoolTest, DropsABufferResizedWhileLent) {
  BufferPool pool;
  OrsaBuffer a = pool.poll(100);
  a->resize(50);  // shrinking keeps the data area where it was
  pool.giveBack(a);
  EXPECT_EQ(pool.idleCount(50), 0u);
  EXPECT_EQ(pool.idleCount(100), 0u);
  a->resize(400);
  pool.giveBack(a);
  EXPECT_EQ(pool.idleCount(400), 0u);
  EXPECT_EQ(pool.idleBytes(), 0u);
}

TEST(BufferPoolTest, PerSizeBoundKeepsTheMostRecentlyReturned) {
  BufferPool pool;
  pool.setIdleLimits(2, 1 << 20);
  std::vector<OrsaBuffer> lent;
  for (int i = 0; i < 4; ++i) lent.push_back(pool.poll(10));
  for (auto& b : lent) pool.giveBack(b);
  EXPECT_EQ(pool.idleCount(10), 2u);
  EXPECT_EQ(pool.idleBytes(), 20u);
  // The two returned last come back, newest first.
  EXPECT_EQ(pool.poll(10).get(), lent[3].get());
  EXPECT_EQ(pool.poll(10).get(), lent[2].get());
  EXPECT_EQ(pool.idleBytes(), 0u);

  // Lowering the bound trims what is already idle.
  pool.setIdleLimits(8, 1 << 20);
  for (auto& b : lent) pool.giveBack(b);
  EXPECT_EQ(pool.idleCount(10), 4u);
  pool.setIdleLimits(1, 1 << 20);
  EXPECT_EQ(pool.idleCount(10), 1u);
  EXPECT_EQ(pool.poll(10).get(), lent[3].get());

  pool.setIdleLimits(0, 1 << 20);
  pool.giveBack(lent[0]);
  EXPECT_EQ(pool.idleCount(10), 0u);
}

TEST(BufferPoolTest, ByteBoundEvictsTheLeastRecentlyUsedSize) {
  BufferPool pool;
  pool.setIdleLimits(16, 300);
  OrsaBuffer a1 = pool.poll(100);
  OrsaBuffer a2 = pool.poll(100);
  OrsaBuffer c = pool.poll(60);
  pool.giveBack(a1);
  pool.giveBack(a2);
  pool.giveBack(c);
  EXPECT_EQ(pool.idleBytes(), 260u);

  // 150 more would pass 300: the 100-byte size was used before the 60-byte one, so it pays.
  OrsaBuffer b = pool.poll(150);
  pool.giveBack(b);
  EXPECT_EQ(pool.idleCount(150), 1u);
  EXPECT_EQ(pool.idleCount(100), 0u);
  EXPECT_EQ(pool.idleCount(60), 1u);
  EXPECT_EQ(pool.idleBytes(), 210u);
  EXPECT_LE(pool.idleBytes(), pool.maxIdleBytes());

  // A buffer larger than the whole bound is never kept and evicts nothing.
  OrsaBuffer huge = pool.poll(301);
  pool.giveBack(huge);
  EXPECT_EQ(pool.idleCount(301), 0u);
  EXPECT_EQ(pool.idleBytes(), 210u);
}

TEST(BufferPoolTest, SharedInstanceIsOneObjectAcrossThreads) {
  std::vector<BufferPool*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = &BufferPool::sharedInstance(); });
  }
  for (auto& t : threads) t.join();
  for (auto* p : seen) EXPECT_EQ(p, &BufferPool::sharedInstance());
}

// Several producers and consumers with clears and bound changes in between: a buffer must never
// be lent to two holders at once, contents written by a holder must survive until it returns
// the buffer, and the idle-byte count must match the idle stacks afterwards.
TEST(BufferPoolTest, ConcurrentPollGiveBackAndClear) {
  BufferPool pool;
  pool.setIdleLimits(4, 4096);
  const std::vector<uint64_t> sizes = {64, 200, 1000, 1500};
  std::mutex inUseLock;
  std::set<const OrsaByteBuffer*> inUse;
  std::atomic<int> doubleLends{0};
  std::atomic<int> corrupted{0};
  std::atomic<bool> stop{false};

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
        size_t k = rng() % held.size();
        OrsaBuffer b = std::move(held[k]);
        held.erase(held.begin() + static_cast<long>(k));
        if (!allBytesAre(b, static_cast<uint8_t>(id + 1))) corrupted++;
        {
          std::lock_guard<std::mutex> g(inUseLock);
          inUse.erase(b.get());
        }
        pool.giveBack(b);
      }
    }
    for (auto& b : held) {
      {
        std::lock_guard<std::mutex> g(inUseLock);
        inUse.erase(b.get());
      }
      pool.giveBack(b);
    }
  };
  std::thread clearer([&] {
    int n = 0;
    while (!stop.load()) {
      if (++n % 3 == 0) pool.setIdleLimits(4, 4096);  // trims under the map lock
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
