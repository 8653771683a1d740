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

InlineIds InlineIds::of(const CachedSegmentation& seg) noexcept {
  InlineIds out;
  if (seg.spans.size() > kMax) return out;
  for (const CachedSpan& span : seg.spans) {
    if (!span.has_id()) return InlineIds{};
    out.ids[out.count++] = span.id;
  }
  out.present = true;
  return out;
}

SegCache::Piece::Ptr SegCache::Piece::make(const Probe& key, const CachedSegmentation& seg) {
  const size_t span_bytes = seg.spans.size() * sizeof(CachedSpan);
  void* memory = std::malloc(sizeof(Piece) + span_bytes + key.text.size());
  if (memory == nullptr) throw std::bad_alloc();
  Ptr piece(new (memory) Piece());
  piece->span_count_ = static_cast<uint32_t>(seg.spans.size());
  piece->key_size_ = static_cast<uint16_t>(key.text.size());
  piece->byte_fallback_ = key.byte_fallback;
  if (span_bytes > 0) std::memcpy(piece->spans(), seg.spans.begin(), span_bytes);
  if (!key.text.empty())
    std::memcpy(piece->spans() + seg.spans.size(), key.text.data(), key.text.size());
  return piece;
}

InlineIds SegCache::Piece::ids() const noexcept {
  InlineIds out;
  if (span_count_ > InlineIds::kMax) return out;
  for (const CachedSpan* span = spans(); span != spans() + span_count_; ++span) {
    if (!span->has_id()) return InlineIds{};
    out.ids[out.count++] = span->id;
  }
  out.present = true;
  return out;
}

SegmentationRef SegCache::Piece::segmentation() const {
  auto seg = std::make_shared<CachedSegmentation>();
  seg->spans.resize_for_overwrite(span_count_);
  if (span_count_ > 0) std::memcpy(seg->spans.data(), spans(), span_count_ * sizeof(CachedSpan));
  return seg;
}

SegCache::SegCache(size_t reserve_entries) : SegCache(reserve_entries, Limits{}) {}

SegCache::SegCache(size_t reserve_entries, Limits limits)
    : seed_(random_seed()),
      limits_(limits),
      shards_(std::make_unique<Shard[]>(kShards)),
      generation_(fresh_generation()) {
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
    // Front caches must stop serving what this cache gave them.
    generation_.store(fresh_generation(), std::memory_order_release);
    throw;
  }
}

template <typename F>
auto SegCache::locked(Shard& shard, F&& body) const {
  std::lock_guard<ShardMutex> guard(shard.mutex);
  return poisoning(body);
}

template <typename F>
auto SegCache::locked_all(F&& body) const {
  std::lock_guard<std::mutex> one_at_a_time(all_shards_);
  for (size_t i = 0; i < kShards; ++i) shards_[i].mutex.lock();
  struct Unlock {
    const SegCache* cache;
    ~Unlock() {
      for (size_t i = kShards; i-- > 0;) cache->shards_[i].mutex.unlock();
    }
  } unlock{this};
  return poisoning(body);
}

void SegCache::invalidate_front_caches() noexcept {
  generation_.store(fresh_generation(), std::memory_order_release);
}

bool SegCache::reserve(size_t bytes) noexcept {
  if (entries_.fetch_add(1, std::memory_order_relaxed) >= limits_.max_entries) {
    entries_.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  if (limits_.max_key_bytes == SIZE_MAX) return true;
  if (key_bytes_.fetch_add(bytes, std::memory_order_relaxed) + bytes > limits_.max_key_bytes) {
    key_bytes_.fetch_sub(bytes, std::memory_order_relaxed);
    entries_.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

void SegCache::take_all(std::vector<Map>& removed) {
  removed.resize(kShards);
  for (size_t i = 0; i < kShards; ++i) {
    Map& map = shards_[i].map;
    const size_t capacity = static_cast<size_t>(map.max_load());
    map.swap(removed[i]);
    map.reserve(capacity);
  }
  entries_.store(0, std::memory_order_relaxed);
  key_bytes_.store(0, std::memory_order_relaxed);
  invalidate_front_caches();
}

SegCache::Found SegCache::lookup(const Probe& key, bool with_segmentation) const {
  Shard& shard = shard_of(key.hash);
  return locked(shard, [&]() -> Found {
    if (poisoned_.load(std::memory_order_relaxed)) return {};
    auto it = shard.map.find(key);
    if (it == shard.map.end()) return {};
    const Piece& piece = *it->piece;
    const InlineIds ids = piece.ids();
    if (!with_segmentation && ids.present) return {true, nullptr, ids};
    return {true, piece.segmentation(), ids};
  });
}

bool SegCache::store(const Probe& probe, const CachedSegmentation& seg) {
  Piece::Ptr piece = Piece::make(probe, seg);  // before any lock is taken
  Shard& shard = shard_of(probe.hash);
  auto insert = [&] { shard.map.insert(Stored{probe.hash, std::move(piece)}); };
  enum class Done { kNo, kYes, kFull };
  const Done done = locked(shard, [&] {
    if (poisoned_.load(std::memory_order_relaxed)) return Done::kNo;
    auto it = shard.map.find(probe);
    if (it != shard.map.end()) {
      it->piece = std::move(piece);
      return Done::kYes;
    }
    if (!reserve(probe.text.size())) return Done::kFull;
    insert();
    return Done::kYes;
  });
  if (done != Done::kFull) return done == Done::kYes;
  // The limits seemed to be reached: settle it with every shard locked, where
  // the count is exact and nobody else stores. Another thread may have
  // emptied the cache or stored this key meanwhile.
  std::vector<Map> removed;  // released after the locks are given back
  return locked_all([&] {
    if (poisoned_.load(std::memory_order_relaxed)) return false;
    auto it = shard.map.find(probe);
    if (it != shard.map.end()) {
      it->piece = std::move(piece);
      return true;
    }
    if (!reserve(probe.text.size())) {
      take_all(removed);
      reserve(probe.text.size());
    }
    insert();
    return true;
  });
}

size_t SegCache::size() const {
  return locked_all(
      [&] { return poisoned_.load() ? size_t{0} : entries_.load(std::memory_order_relaxed); });
}

void SegCache::clear() {
  std::vector<Map> removed;
  locked_all([&] {
    if (!poisoned_.load(std::memory_order_relaxed)) take_all(removed);
  });
}

size_t SegCache::capacity() const {
  return locked_all([&] {
    size_t total = 0;
    for (size_t i = 0; i < kShards; ++i) total += static_cast<size_t>(shards_[i].map.max_load());
    return total;
  });
}

void SegCache::set_limits(Limits limits) {
  locked_all([&] { limits_ = limits; });
}

// ---- fork ----
// Every lock, in the order `locked_all` takes them, so that the child
// inherits the maps between changes. The forking thread holds them all and is
// the one thread of the child, so both processes simply give them back.

void SegCache::before_fork() noexcept {
  all_shards_.lock();
  for (size_t i = 0; i < kShards; ++i) shards_[i].mutex.lock();
}

void SegCache::after_fork_in_parent() noexcept {
  for (size_t i = kShards; i-- > 0;) shards_[i].mutex.unlock();
  all_shards_.unlock();
}

void SegCache::after_fork_in_child() noexcept { after_fork_in_parent(); }

}  // namespace brindlore
