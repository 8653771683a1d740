#include "core/seg_cache.h"

#include <new>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define BRINDLORE_CPU_RELAX() _mm_pause()
#else
#define BRINDLORE_CPU_RELAX() ((void)0)
#endif

namespace brindlore {

void SpinMutex::lock() noexcept {
  for (;;) {
    if (try_lock()) return;
    for (int spins = 0; locked_.load(std::memory_order_relaxed); ++spins) {
      if (spins < 64) {
        BRINDLORE_CPU_RELAX();
      } else {
        std::this_thread::yield();
      }
    }
  }
}

SegCache::SegCache(size_t reserve_entries)
    : seed_(random_seed()),
      shards_(std::make_unique<Shard[]>(kShards)) {
  if (reserve_entries == 0) return;
  const size_t per_shard = (reserve_entries + kShards - 1) / kShards;
  for (size_t i = 0; i < kShards; ++i) shards_[i].map.reserve(per_shard);
}

SegCache::Probe SegCache::probe(bool byte_fallback, std::string_view piece) const noexcept {
  const uint64_t seed = byte_fallback ? ~seed_ : seed_;
  return Probe{piece, byte_fallback,
               static_cast<size_t>(XXH3_64bits_withSeed(piece.data(), piece.size(), seed))};
}

template <typename F>
auto SegCache::poisoning(F&& body) const {
  try {
    return body();
  } catch (...) {
    poisoned_.store(true);
    throw;
  }
}

template <typename F>
auto SegCache::locked(Shard& shard, F&& body) const {
  std::lock_guard<SpinMutex> guard(shard.mutex);
  return poisoning(body);
}

template <typename F>
auto SegCache::locked_all(F&& body) const {
  for (size_t i = 0; i < kShards; ++i) shards_[i].mutex.lock();
  struct Unlock {
    const SegCache* cache;
    ~Unlock() {
      for (size_t i = kShards; i-- > 0;) cache->shards_[i].mutex.unlock();
    }
  } unlock{this};
  return poisoning(body);
}

template <typename F>
void SegCache::empty_all(F&& before_swap) {
  std::lock_guard<std::mutex> one_at_a_time(empty_mutex_);
  const bool emptied = locked_all([&] {
    if (poisoned_.load(std::memory_order_relaxed) || !before_swap()) return false;
    for (size_t i = 0; i < kShards; ++i) {
      // The emptied map keeps the capacity the full one had.
      Shard& shard = shards_[i];
      shard.map.swap(shard.spare);
      shard.map.reserve(static_cast<size_t>(shard.spare.max_load()));
    }
    entries_.store(0, std::memory_order_relaxed);
    return true;
  });
  if (!emptied) return;
  // Only emptyings touch the spares, and they run one at a time.
  poisoning([&] {
    for (size_t i = 0; i < kShards; ++i) shards_[i].spare = Map();
  });
}

SegmentationRef SegCache::lookup(const Probe& key) const {
  Shard& shard = shard_of(key.hash);
  return locked(shard, [&]() -> SegmentationRef {
    if (poisoned_.load(std::memory_order_relaxed)) return nullptr;
    auto it = shard.map.find(key);
    return it == shard.map.end() ? nullptr : it->second;
  });
}

void SegCache::insert_absent(Shard& shard, const Probe& probe, SegmentationRef seg) {
  shard.map.emplace(Key{std::string(probe.text), probe.byte_fallback, probe.hash}, std::move(seg));
  entries_.fetch_add(1, std::memory_order_relaxed);
}

void SegCache::store(const Probe& probe, SegmentationRef seg) {
  Shard& shard = shard_of(probe.hash);
  const bool stored = locked(shard, [&] {
    if (poisoned_.load(std::memory_order_relaxed)) return true;
    auto it = shard.map.find(probe);
    if (it != shard.map.end()) {
      it->second = std::move(seg);
      return true;
    }
    if (entries_.load(std::memory_order_relaxed) >= kMaxEntries) return false;
    insert_absent(shard, probe, std::move(seg));
    return true;
  });
  if (stored) return;
  // The cache is full: empty it, then store. The checks are made again under
  // all the locks, since another thread may have emptied the cache or stored
  // this key meanwhile.
  bool replaced = false;
  empty_all([&] {
    auto it = shard.map.find(probe);
    if (it != shard.map.end()) {
      it->second = seg;
      replaced = true;
      return false;
    }
    return entries_.load(std::memory_order_relaxed) >= kMaxEntries;
  });
  if (replaced) return;
  locked(shard, [&] {
    if (poisoned_.load(std::memory_order_relaxed)) return;
    auto it = shard.map.find(probe);
    if (it != shard.map.end()) {
      it->second = std::move(seg);
    } else {
      insert_absent(shard, probe, std::move(seg));
    }
  });
}

size_t SegCache::size() const {
  return poisoned_.load() ? 0 : entries_.load();
}

void SegCache::clear() {
  empty_all([] { return true; });
}

size_t SegCache::capacity() const {
  return locked_all([&] {
    size_t total = 0;
    for (size_t i = 0; i < kShards; ++i) total += static_cast<size_t>(shards_[i].map.max_load());
    return total;
  });
}

bool SegCache::poisoned() const { return poisoned_.load(); }

// ---- fork ----
// Every lock, in the order an emptying takes them. The child releases the
// spin locks and makes the mutex anew (it was locked by a thread of the
// parent).

void SegCache::before_fork() noexcept {
  empty_mutex_.lock();
  for (size_t i = 0; i < kShards; ++i) shards_[i].mutex.lock();
}

void SegCache::after_fork_in_parent() noexcept {
  for (size_t i = kShards; i-- > 0;) shards_[i].mutex.unlock();
  empty_mutex_.unlock();
}

void SegCache::after_fork_in_child() noexcept {
  for (size_t i = kShards; i-- > 0;) shards_[i].mutex.unlock();
  new (&empty_mutex_) std::mutex();
}

}  // namespace brindlore
