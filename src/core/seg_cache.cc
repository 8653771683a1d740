#include "core/seg_cache.h"

#include <new>

namespace brindlore {
namespace {

// Generations are drawn from one counter for the whole process, so that a
// front cache entry of one cache can never be taken for one of another.
std::atomic<uint64_t> next_generation{1};

uint64_t fresh_generation() noexcept {
  return next_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

SegCache::SegCache(size_t reserve_entries) : SegCache(reserve_entries, Limits{}) {}

SegCache::SegCache(size_t reserve_entries, Limits limits)
    : seed_(random_seed()), limits_(limits), generation_(fresh_generation()) {
  if (reserve_entries != 0) map_.reserve(reserve_entries);
}

SegCache::Probe SegCache::probe(bool byte_fallback, std::string_view piece) const noexcept {
  const uint64_t seed = byte_fallback ? ~seed_ : seed_;
  return Probe{piece, byte_fallback,
               static_cast<size_t>(XXH3_64bits_withSeed(piece.data(), piece.size(), seed))};
}

template <typename F>
auto SegCache::locked(F&& body) const {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    return body();
  } catch (...) {
    poisoned_.store(true);
    // Front caches must stop serving what this map gave them.
    const_cast<SegCache*>(this)->invalidate_front_caches();
    throw;
  }
}

void SegCache::invalidate_front_caches() noexcept {
  generation_.store(fresh_generation(), std::memory_order_release);
}

void SegCache::take_all(Map& removed) {
  const size_t capacity = static_cast<size_t>(map_.max_load());
  map_.swap(removed);
  map_.reserve(capacity);
  key_bytes_ = 0;
  invalidate_front_caches();
}

SegmentationRef SegCache::lookup(const Probe& key) const {
  return locked([&]() -> SegmentationRef {
    if (poisoned_.load(std::memory_order_relaxed)) return nullptr;
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : it->second;
  });
}

bool SegCache::store(const Probe& probe, SegmentationRef seg) {
  Map removed;  // released after the lock is given back
  return locked([&] {
    if (poisoned_.load(std::memory_order_relaxed)) return false;
    auto it = map_.find(probe);
    if (it != map_.end()) {
      it->second = std::move(seg);
      return true;
    }
    if (map_.size() >= limits_.max_entries ||
        probe.text.size() > limits_.max_key_bytes - key_bytes_) {
      take_all(removed);
    }
    map_.emplace(Key{std::string(probe.text), probe.byte_fallback, probe.hash}, std::move(seg));
    key_bytes_ += probe.text.size();
    return true;
  });
}

size_t SegCache::size() const {
  return locked([&] { return poisoned_.load() ? size_t{0} : map_.size(); });
}

void SegCache::clear() {
  Map removed;
  locked([&] {
    if (!poisoned_.load(std::memory_order_relaxed)) take_all(removed);
  });
}

size_t SegCache::capacity() const {
  return locked([&] { return static_cast<size_t>(map_.max_load()); });
}

bool SegCache::poisoned() const { return poisoned_.load(); }

void SegCache::set_limits(Limits limits) {
  locked([&] { limits_ = limits; });
}

void SegCache::reset_after_fork() noexcept {
  // The old lock and table may be mid-change in a thread that does not exist
  // in the child: both are abandoned, not destroyed.
  new (&mutex_) std::mutex();
  new (&map_) Map();
  key_bytes_ = 0;
  invalidate_front_caches();
}

}  // namespace brindlore
