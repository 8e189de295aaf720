#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// A pixel buffer as it travels through the library: a byte vector whose data area does not
// move while its size is unchanged, shared by whoever holds it (a frame record, an Image).
// Buffers taken from BufferPool go back to it with giveBack once the holder is done, and the
// holder moves its pointer into that call: a holder that kept it could give the buffer back a
// second time after the pool had lent it to someone else.
using OrsaByteBuffer = std::vector<uint8_t>;
using OrsaBuffer = std::shared_ptr<OrsaByteBuffer>;

// One size class of the pool. Only buffers this bucket created are ever taken back, so a
// foreign buffer, or one created before the last BufferPool::clear, cannot slip in.
class BufferBucket {
 public:
  // `poolIdleBytes`, when given, is the owning pool's count of idle bytes, kept in step with
  // this bucket's idle stack.
  explicit BufferBucket(uint64_t size, std::atomic<uint64_t>* poolIdleBytes = nullptr);
  BufferBucket(const BufferBucket&) = delete;
  BufferBucket& operator=(const BufferBucket&) = delete;

  uint64_t size() const { return size_; }

  // The most recently returned idle buffer, or a new zero-filled one of `size` bytes.
  OrsaBuffer poll(uint64_t size);
  // Keeps the buffer for reuse when this bucket created it and it is not already idle;
  // otherwise it is dropped. With `maxIdle` buffers already idle, the least recently returned
  // one is dropped to make room. Returns whether the buffer was kept.
  bool giveBack(OrsaBuffer buffer, size_t maxIdle = SIZE_MAX);

  size_t idleCount() const;
  size_t createdCount() const;

 private:
  friend class BufferPool;

  // Removes the least recently returned idle buffer (the coldest one); null when none.
  OrsaBuffer evictOldest();
  // Empties the idle stack, handing its buffers to the caller so they are freed outside locks.
  std::vector<OrsaBuffer> drainIdle();

  const uint64_t size_;
  mutable std::mutex lock_;
  std::vector<OrsaBuffer> idle_;              // back() is the top of the stack
  std::unordered_set<const void*> nameList_;  // data areas of every buffer created here
  std::atomic<uint64_t> lastUse_{0};          // pool-wide use stamp, for eviction order
  std::atomic<uint64_t>* const poolIdleBytes_;
};

// Process-wide pool of byte buffers keyed by exact byte size, handing out the most recently
// returned (cache-warm) buffer first.
//
// Idle buffers are bounded: at most maxIdlePerSize() per size class and maxIdleBytes() in all.
// Steady streaming needs only as many buffers per size as are in flight at once (a few: the
// view queues at most five frames), so the per-size bound never costs a reuse there; it only
// stops a burst from pinning memory forever. The byte bound covers hosts whose frame sizes
// drift: when it would be exceeded, the idle buffers of the least recently used sizes go first.
class BufferPool {
 public:
  static constexpr size_t kDefaultMaxIdlePerSize = 16;
  static constexpr uint64_t kDefaultMaxIdleBytes = 256ull << 20;

  static BufferPool& sharedInstance();

  BufferPool();
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;

  // A buffer of exactly `size` bytes: a reused one with whatever its last user left in it, or
  // a new zero-filled one.
  OrsaBuffer poll(uint64_t size);
  // Returns a buffer for reuse. Null is ignored; a buffer the pool does not own is dropped.
  // Callers move their pointer in (see OrsaFrameData::giveBackBuffers). The pool refuses a
  // buffer that is already idle, but it cannot tell a stale second give-back of a buffer it has
  // since lent out again from a rightful one; only a holder left without the pointer can.
  void giveBack(OrsaBuffer buffer);
  // Removes every bucket. Buffers lent out now are dropped when they are given back later.
  void clear();

  void setIdleLimits(size_t maxIdlePerSize, uint64_t maxIdleBytes);
  size_t maxIdlePerSize() const { return maxIdlePerSize_.load(std::memory_order_relaxed); }
  uint64_t maxIdleBytes() const { return maxIdleBytes_.load(std::memory_order_relaxed); }

  // Introspection for tests, benchmarks and diagnostics.
  size_t idleCount(uint64_t size) const;
  uint64_t idleBytes() const;
  size_t bucketCount() const;
  // Buffers allocated by every pool of the process so far: flat while streaming is steady.
  static uint64_t allocationCount() { return allocations_.load(std::memory_order_relaxed); }

 private:
  friend class BufferBucket;
  static inline std::atomic<uint64_t> allocations_{0};

  // Map lock held by the caller; the reference lives as long as the lock is held.
  const std::shared_ptr<BufferBucket>& bucketFor(uint64_t size);
  void evictFor(uint64_t incoming);  // map lock held by the caller

  mutable std::mutex mapLock_;
  std::unordered_map<uint64_t, std::shared_ptr<BufferBucket>> buckets_;
  std::atomic<uint64_t> useClock_{0};
  std::atomic<uint64_t> idleBytes_{0};
  std::atomic<size_t> maxIdlePerSize_{kDefaultMaxIdlePerSize};
  std::atomic<uint64_t> maxIdleBytes_{kDefaultMaxIdleBytes};
};
