#include "render/BufferPool.h"

#include <algorithm>
#include <limits>
#include <utility>

// ---------------------------------------------------------------------------------------------
// BufferBucket

BufferBucket::BufferBucket(uint64_t size, std::atomic<uint64_t>* poolIdleBytes)
    : size_(size), poolIdleBytes_(poolIdleBytes) {
  nameList_.max_load_factor(1.0f);
}

OrsaBuffer BufferBucket::poll(uint64_t size) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!idle_.empty()) {
      OrsaBuffer buffer = std::move(idle_.back());
      idle_.pop_back();
      if (poolIdleBytes_) poolIdleBytes_->fetch_sub(buffer->size(), std::memory_order_relaxed);
      return buffer;
    }
  }
  // Allocate and zero outside the lock: a multi-megabyte memset must not stall other threads
  // returning buffers of this size.
  auto buffer = std::make_shared<OrsaByteBuffer>(static_cast<size_t>(size));
  BufferPool::allocations_.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> guard(lock_);
  nameList_.insert(static_cast<const void*>(buffer->data()));
  return buffer;
}

bool BufferBucket::giveBack(OrsaBuffer buffer, size_t maxIdle) {
  if (!buffer) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (buffer->size() != size_) return false;
  if (nameList_.find(static_cast<const void*>(buffer->data())) == nameList_.end()) return false;
  if (maxIdle == 0) return false;
  // Returning the same buffer twice would hand it to two callers at once; the stack is short,
  // so a scan is cheaper than keeping a second set.
  for (const auto& b : idle_) {
    if (b.get() == buffer.get()) return false;
  }
  if (idle_.size() >= maxIdle) {
    // Full: the coldest buffer makes room, so the stack keeps the most recently touched ones.
    idle_.erase(idle_.begin());
    if (poolIdleBytes_) poolIdleBytes_->fetch_sub(size_, std::memory_order_relaxed);
  }
  idle_.push_back(std::move(buffer));
  if (poolIdleBytes_) poolIdleBytes_->fetch_add(size_, std::memory_order_relaxed);
  return true;
}

size_t BufferBucket::idleCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return idle_.size();
}

size_t BufferBucket::createdCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nameList_.size();
}

OrsaBuffer BufferBucket::evictOldest() {
  std::lock_guard<std::mutex> guard(lock_);
  if (idle_.empty()) return nullptr;
  OrsaBuffer buffer = std::move(idle_.front());
  idle_.erase(idle_.begin());
  if (poolIdleBytes_) poolIdleBytes_->fetch_sub(size_, std::memory_order_relaxed);
  return buffer;
}

std::vector<OrsaBuffer> BufferBucket::drainIdle() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<OrsaBuffer> out;
  out.swap(idle_);
  if (poolIdleBytes_) poolIdleBytes_->fetch_sub(size_ * out.size(), std::memory_order_relaxed);
  return out;
}

// ---------------------------------------------------------------------------------------------
// BufferPool

BufferPool& BufferPool::sharedInstance() {
  // Never destroyed: threads that outlive static destruction may still return buffers.
  static BufferPool* const instance = new BufferPool();
  return *instance;
}

BufferPool::BufferPool() = default;

const std::shared_ptr<BufferBucket>& BufferPool::bucketFor(uint64_t size) {
  auto it = buckets_.find(size);
  if (it == buckets_.end()) {
    it = buckets_.emplace(size, std::make_shared<BufferBucket>(size, &idleBytes_)).first;
  }
  return it->second;
}

OrsaBuffer BufferPool::poll(uint64_t size) {
  std::shared_ptr<BufferBucket> bucket;
  {
    std::lock_guard<std::mutex> guard(mapLock_);
    bucket = bucketFor(size);
  }
  bucket->lastUse_.store(useClock_.fetch_add(1, std::memory_order_relaxed),
                         std::memory_order_relaxed);
  return bucket->poll(size);
}

void BufferPool::evictFor(uint64_t incoming) {
  const uint64_t limit = maxIdleBytes();
  while (idleBytes_.load(std::memory_order_relaxed) + incoming > limit) {
    BufferBucket* coldest = nullptr;
    uint64_t coldestUse = std::numeric_limits<uint64_t>::max();
    for (auto& [size, bucket] : buckets_) {
      if (bucket->idleCount() == 0) continue;
      const uint64_t use = bucket->lastUse_.load(std::memory_order_relaxed);
      if (use < coldestUse) {
        coldestUse = use;
        coldest = bucket.get();
      }
    }
    if (!coldest) return;
    // Dropped here, with the map lock held, but never with two bucket locks at once.
    coldest->evictOldest();
  }
}

void BufferPool::giveBack(OrsaBuffer buffer) {
  if (!buffer) return;
  const uint64_t size = buffer->size();
  std::lock_guard<std::mutex> guard(mapLock_);
  BufferBucket* bucket = bucketFor(size).get();
  bucket->lastUse_.store(useClock_.fetch_add(1, std::memory_order_relaxed),
                         std::memory_order_relaxed);
  if (size > maxIdleBytes()) return;  // could never be kept without emptying everything else
  const size_t perSize = maxIdlePerSize();
  if (perSize == 0) return;
  // A full stack makes room itself, so only a stack with space needs room elsewhere.
  if (bucket->idleCount() < perSize) evictFor(size);
  bucket->giveBack(std::move(buffer), perSize);
}

void BufferPool::clear() {
  std::unordered_map<uint64_t, std::shared_ptr<BufferBucket>> retired;
  std::vector<OrsaBuffer> idle;
  {
    std::lock_guard<std::mutex> guard(mapLock_);
    retired.swap(buckets_);
    // A poll that found its bucket just before this clear may still take from it; emptying the
    // stacks here keeps the idle-byte count exact and retires those buffers too.
    for (auto& [size, bucket] : retired) {
      auto drained = bucket->drainIdle();
      for (auto& b : drained) idle.push_back(std::move(b));
    }
  }
  // `idle` and `retired` free their memory here, outside every lock.
}

void BufferPool::setIdleLimits(size_t maxIdlePerSize, uint64_t maxIdleBytes) {
  maxIdlePerSize_.store(maxIdlePerSize, std::memory_order_relaxed);
  maxIdleBytes_.store(maxIdleBytes, std::memory_order_relaxed);
  // Apply lower limits to what is already idle.
  std::lock_guard<std::mutex> guard(mapLock_);
  for (auto& [size, bucket] : buckets_) {
    while (bucket->idleCount() > maxIdlePerSize) bucket->evictOldest();
  }
  evictFor(0);
}

size_t BufferPool::idleCount(uint64_t size) const {
  std::shared_ptr<BufferBucket> bucket;
  {
    std::lock_guard<std::mutex> guard(mapLock_);
    auto it = buckets_.find(size);
    if (it == buckets_.end()) return 0;
    bucket = it->second;
  }
  return bucket->idleCount();
}

uint64_t BufferPool::idleBytes() const {
  return idleBytes_.load(std::memory_order_relaxed);
}

size_t BufferPool::bucketCount() const {
  std::lock_guard<std::mutex> guard(mapLock_);
  return buckets_.size();
}
