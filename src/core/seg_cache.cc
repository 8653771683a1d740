#include "core/seg_cache.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <new>

namespace brindlore {
namespace {

// Generations are drawn from one counter for the whole process, so that a
// front cache entry of one cache can never be taken for one of another.
std::atomic<uint64_t> next_generation{1};

uint64_t fresh_generation() noexcept {
  return next_generation.fetch_add(1, std::memory_order_relaxed);
}

// Block sizes, headers included: a shard's blocks grow from the first size,
// each about as large as all before it together, up to the largest. A cache
// with a few pieces takes a few kilobytes; a full one wastes at most the
// unused end of each block.
constexpr size_t kFirstBlockBytes = 512;
constexpr size_t kLargestBlockBytes = 4096;

}  // namespace

InlineIds InlineIds::of(std::span<const CachedSpan> spans) noexcept {
  InlineIds out;
  if (spans.size() > kMax) return out;
  for (const CachedSpan& span : spans) {
    if (!span.has_id()) return InlineIds{};
    out.ids[out.count++] = span.id;
  }
  out.present = true;
  return out;
}

SegCache::ShardLimits SegCache::shard_limits_of(const Limits& limits) noexcept {
  ShardLimits out;
  if (limits.policy != Policy::kKeepRepeats) {
    out.block = kLargestBlockBytes;
    return out;
  }
  out.entries = std::max<size_t>(1, limits.max_entries / kShards);
  // Eight bits per entry the shard holds, two set per piece turned away and
  // all reset after as many pieces as it holds: at most about a fifth of the
  // bits are set, so that about one piece in 20 at most passes on its first
  // sight, and one in 50 on average.
  out.seen_bits = std::clamp<size_t>(std::bit_ceil(8 * out.entries), 512, size_t{1} << 16);
  // The limit is the cache's whole size, as its owners state it: what the
  // shard needs besides its blocks comes off its share.
  const size_t share = limits.max_bytes / kShards;
  const size_t fixed =
      sizeof(Shard) + sizeof(Index) + Index::bytes_for(out.entries) + out.seen_bits / 8;
  out.bytes = share > fixed ? share - fixed : 0;
  out.block = std::min(kLargestBlockBytes, out.bytes);
  return out;
}

SegCache::SegCache(size_t reserve_entries) : SegCache(reserve_entries, Limits{}) {}

SegCache::SegCache(size_t reserve_entries, Limits limits)
    : seed_(random_seed()),
      limits_(limits),
      shard_limits_(shard_limits_of(limits)),
      shards_(std::make_unique<Shard[]>(kShards)),
      indexes_(std::make_unique<Index[]>(kShards)),
      generation_(fresh_generation()) {
  if (reserve_entries == 0) return;
  const size_t per_shard = (reserve_entries + kShards - 1) / kShards;
  for (size_t i = 0; i < kShards; ++i) indexes_[i].reserve(per_shard);
}

SegCache::~SegCache() {
  for (size_t i = 0; i < kShards; ++i) free_blocks(shards_[i].blocks.oldest);
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

// ---- the index ----

size_t SegCache::Index::find(const Probe& key) const noexcept {
  const uint32_t* tags = this->tags();
  if (tags == nullptr) return kNone;
  const uint32_t tag = tag_of(key.hash);
  const size_t mask = size() - 1;
  for (size_t i = position(tag, shift_.load(std::memory_order_relaxed));; i = (i + 1) & mask) {
    if (tags[i] == 0) return kNone;
    if (tags[i] != tag) continue;
    const Entry& entry = *entries()[i];
    const std::string_view text = entry.text();
    if (entry.byte_fallback() == key.byte_fallback && text.size() == key.text.size() &&
        same_bytes(text.data(), key.text.data(), text.size())) {
      return i;
    }
  }
}

size_t SegCache::Index::find(const Entry& entry) const noexcept {
  Entry* const* entries = this->entries();
  const size_t mask = size() - 1;
  for (size_t i = position(entry.tag, shift_.load(std::memory_order_relaxed));;
       i = (i + 1) & mask) {
    if (entries[i] == &entry) return i;
  }
}

bool SegCache::Index::insert(Entry* entry) noexcept {
  if (used_ + 1 > max_used(size()) && !rebuild(std::max<size_t>(8, 2 * size()))) return false;
  uint32_t* tags = this->tags();
  const size_t mask = size() - 1;
  size_t i = position(entry->tag, shift_.load(std::memory_order_relaxed));
  while (tags[i] != 0) i = (i + 1) & mask;
  tags[i] = entry->tag;
  entries()[i] = entry;
  ++used_;
  return true;
}

void SegCache::Index::erase(size_t hole) noexcept {
  uint32_t* tags = this->tags();
  Entry** entries = this->entries();
  const unsigned shift = shift_.load(std::memory_order_relaxed);
  const size_t mask = size() - 1;
  // A later slot moves into the hole when its own position is not between
  // the hole and it (cyclically): its probe passes the hole.
  for (size_t i = (hole + 1) & mask; tags[i] != 0; i = (i + 1) & mask) {
    if (((i - position(tags[i], shift)) & mask) >= ((i - hole) & mask)) {
      tags[hole] = tags[i];
      entries[hole] = entries[i];
      hole = i;
    }
  }
  tags[hole] = 0;
  --used_;
}

void SegCache::Index::clear() noexcept {
  if (uint32_t* tags = this->tags()) std::memset(tags, 0, size() * sizeof(uint32_t));
  used_ = 0;
}

size_t SegCache::Index::bytes_for(size_t entries) noexcept {
  size_t size = 8;
  while (max_used(size) < entries) size *= 2;
  return size * kSlotBytes;
}

bool SegCache::Index::reserve(size_t entries) noexcept {
  if (entries <= max_used(size())) return true;
  return rebuild(std::bit_ceil(entries + entries / 3 + 1));
}

bool SegCache::Index::rebuild(size_t size) noexcept {
  void* table = std::calloc(size, kSlotBytes);
  if (table == nullptr) return false;
  auto* tags = static_cast<uint32_t*>(table);
  auto** entries = reinterpret_cast<Entry**>(tags + size);
  const auto shift = static_cast<unsigned>(32 - std::countr_zero(size));
  const uint32_t* old_tags = this->tags();
  Entry* const* old_entries = old_tags ? this->entries() : nullptr;
  for (size_t k = 0, old_size = this->size(); k < old_size; ++k) {
    if (old_tags[k] == 0) continue;
    size_t i = position(old_tags[k], shift);
    while (tags[i] != 0) i = (i + 1) & (size - 1);
    tags[i] = old_tags[k];
    entries[i] = old_entries[k];
  }
  void* old = table_.load(std::memory_order_relaxed);
  table_.store(table, std::memory_order_relaxed);
  shift_.store(shift, std::memory_order_relaxed);
  std::free(old);
  return true;
}

// ---- blocks and entries ----

SegCache::Entry* SegCache::carve(Shard& shard, size_t bytes, bool allocate) noexcept {
  Blocks& blocks = shard.blocks;
  if (Block* newest = blocks.newest; newest && newest->size - newest->used >= bytes) {
    auto* entry = reinterpret_cast<Entry*>(newest->data() + newest->used);
    newest->used += static_cast<uint32_t>(bytes);
    return entry;
  }
  if (!allocate) return nullptr;
  const size_t size = next_block_bytes(blocks, bytes);
  auto* block = static_cast<Block*>(std::malloc(size));
  if (block == nullptr) return nullptr;
  block->newer = nullptr;
  block->size = static_cast<uint32_t>(size - sizeof(Block));
  block->used = static_cast<uint32_t>(bytes);
  append_newest(blocks, block);
  blocks.bytes += size;
  ++blocks.count;
  return reinterpret_cast<Entry*>(block->data());
}

size_t SegCache::next_block_bytes(const Blocks& blocks, size_t entry_bytes) const noexcept {
  const size_t grown = std::max(std::bit_ceil(std::max<size_t>(blocks.bytes, 1)), kFirstBlockBytes);
  return std::max(std::min(grown, shard_limits_.block), entry_bytes + sizeof(Block));
}

void SegCache::append_newest(Blocks& blocks, Block* block) noexcept {
  block->newer = nullptr;
  if (blocks.newest) {
    blocks.newest->newer = block;
  } else {
    blocks.oldest = block;
  }
  blocks.newest = block;
}

SegCache::Block* SegCache::take_oldest(Blocks& blocks) noexcept {
  Block* block = blocks.oldest;
  blocks.oldest = block->newer;
  if (blocks.oldest == nullptr) blocks.newest = nullptr;
  block->newer = nullptr;
  return block;
}

SegCache::Entry* SegCache::write(void* at, const Probe& key,
                                 std::span<const CachedSpan> spans) noexcept {
  auto* entry = new (at)
      Entry{tag_of(key.hash), static_cast<uint32_t>(spans.size()),
            static_cast<uint32_t>(key.text.size()), key.byte_fallback ? Entry::kByteFallback : 0u};
  if (!key.text.empty()) std::memcpy(entry->key(), key.text.data(), key.text.size());
  if (!spans.empty()) std::memcpy(entry->spans(), spans.data(), spans.size_bytes());
  return entry;
}

bool SegCache::holds(const Entry& entry, std::span<const CachedSpan> spans) noexcept {
  return entry.span_count == spans.size() &&
         (spans.empty() || std::memcmp(entry.spans(), spans.data(), spans.size_bytes()) == 0);
}

void SegCache::take_all(Shard& shard, Block*& released) noexcept {
  index_of(shard).clear();
  if (shard.blocks.newest) {
    shard.blocks.newest->newer = released;
    released = shard.blocks.oldest;
  }
  shard.blocks = {};
  shard.entries = 0;
  shard.seen.reset();
  shard.seen_marks = 0;
}

void SegCache::take_everything(Block*& released) noexcept {
  for (size_t i = 0; i < kShards; ++i) take_all(shards_[i], released);
  entries_.store(0, std::memory_order_relaxed);
  holds_entries_.store(false, std::memory_order_relaxed);
  invalidate_front_caches_only();
}

void SegCache::free_blocks(Block* chain) noexcept {
  while (chain) {
    Block* next = chain->newer;
    std::free(chain);
    chain = next;
  }
}

// ---- lookups ----

void SegCache::prefetch_store(const Shard& shard, size_t hash) const noexcept {
  if (const Block* newest = shard.blocks.newest) {
    __builtin_prefetch(newest->data() + newest->used, 1);
  }
  if (shard.seen) __builtin_prefetch(&shard.seen[seen_word(hash)], 1);
}

bool SegCache::find(const Probe& key, bool need_spans, InlineIds& ids, SpanList& spans) const {
  Shard& shard = shard_of(key.hash);
  for (;;) {
    // Spans are copied under the lock only into room the list already has,
    // so that nothing is allocated there.
    size_t room_needed = 0;
    const bool found = locked(shard, [&] {
      if (poisoned_.load(std::memory_order_relaxed)) return false;
      const Index& index = index_of(shard);
      const size_t slot = index.find(key);
      if (slot == Index::kNone) {
        prefetch_store(shard, key.hash);
        return false;
      }
      Entry& entry = *index.entry(slot);
      if ((entry.flags & Entry::kReferenced) == 0) entry.flags |= Entry::kReferenced;
      ids = entry.ids();
      if (!need_spans && ids.present) return true;
      if (entry.span_count > spans.capacity()) {
        room_needed = entry.span_count;
        return false;
      }
      spans.assign(entry.span_view());
      return true;
    });
    if (room_needed == 0) return found;
    spans.resize_for_overwrite(room_needed);
  }
}

SegmentationRef SegCache::lookup(bool byte_fallback, std::string_view piece) const {
  auto seg = std::make_shared<CachedSegmentation>();
  InlineIds ids;
  if (!find(probe(byte_fallback, piece), true, ids, seg->spans)) return nullptr;
  return seg;
}

// ---- stores ----

bool SegCache::store(const Probe& key, std::span<const CachedSpan> spans) {
  Shard& shard = shard_of(key.hash);
  const Stored done = locked(shard, [&] { return store_locked(shard, key, spans, nullptr); });
  if (done != Stored::kFull) return done == Stored::kYes;
  // The ceiling seemed to be reached: settle it with every shard locked, where
  // the count is exact and nobody else stores. Another thread may have
  // emptied the cache or stored this key meanwhile.
  Block* released = nullptr;  // freed after the locks are given back
  const Stored stored = locked_all([&] { return store_locked(shard, key, spans, &released); });
  free_blocks(released);
  return stored == Stored::kYes;
}

bool SegCache::replace(Shard& shard, size_t slot, const Probe& key,
                       std::span<const CachedSpan> spans) {
  Index& index = index_of(shard);
  Entry& old = *index.entry(slot);
  if (holds(old, spans)) return true;
  Entry* entry = carve(shard, Entry::bytes_for(spans.size(), key.text.size()), true);
  if (entry == nullptr) return false;
  write(entry, key, spans);
  old.flags |= Entry::kDead;
  index.repoint(slot, entry);
  return true;
}

bool SegCache::add(Shard& shard, const Probe& key, std::span<const CachedSpan> spans) noexcept {
  Entry* entry = carve(shard, Entry::bytes_for(spans.size(), key.text.size()), true);
  if (entry == nullptr) return false;
  write(entry, key, spans);
  if (index_of(shard).insert(entry)) return true;
  entry->flags |= Entry::kDead;  // its bytes stay unused until the block is swept or freed
  return false;
}

bool SegCache::reserve() noexcept {
  if (entries_.fetch_add(1, std::memory_order_relaxed) >= limits_.max_entries) {
    entries_.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  return true;
}

SegCache::Stored SegCache::store_locked(Shard& shard, const Probe& key,
                                        std::span<const CachedSpan> spans, Block** released) {
  const auto stored = [](bool yes) { return yes ? Stored::kYes : Stored::kNo; };
  if (poisoned_.load(std::memory_order_relaxed)) return Stored::kNo;
  if (keeps_repeats()) return stored(store_keeping_repeats(shard, key, spans));
  if (const size_t slot = index_of(shard).find(key); slot != Index::kNone) {
    return stored(replace(shard, slot, key, spans));
  }
  if (!reserve()) {
    if (!released) return Stored::kFull;
    take_everything(*released);
    reserve();
  }
  if (add(shard, key, spans)) return Stored::kYes;
  entries_.fetch_sub(1, std::memory_order_relaxed);
  return Stored::kNo;
}

// ---- kKeepRepeats ----

bool SegCache::store_keeping_repeats(Shard& shard, const Probe& key,
                                     std::span<const CachedSpan> spans) {
  Index& index = index_of(shard);
  if (const size_t slot = index.find(key); slot != Index::kNone) {
    Entry& old = *index.entry(slot);
    if (holds(old, spans)) return true;
    // Stored again as a new key, so that making room cannot move it meanwhile.
    old.flags |= Entry::kDead;
    index.erase(slot);
    --shard.entries;
  }
  const size_t bytes = Entry::bytes_for(spans.size(), key.text.size());
  // A full shard takes a new piece only on its second sight, in the room the
  // clock makes a block at a time (so never one larger than a block); the
  // room is not for the pieces seen once.
  if (!can_grow(shard, bytes) &&
      (bytes + sizeof(Block) > shard_limits_.block || !seen_before(shard, key.hash) ||
       !(has_room(shard, bytes) || make_room(shard, bytes)))) {
    return false;
  }
  if (!add(shard, key, spans)) return false;
  ++shard.entries;
  if (!holds_entries_.load(std::memory_order_relaxed)) {
    holds_entries_.store(true, std::memory_order_relaxed);
  }
  return true;
}

bool SegCache::can_grow(const Shard& shard, size_t bytes) const noexcept {
  const Blocks& blocks = shard.blocks;
  return shard.entries < shard_limits_.entries &&
         blocks.bytes + next_block_bytes(blocks, bytes) <= shard_limits_.bytes;
}

bool SegCache::has_room(const Shard& shard, size_t bytes) const noexcept {
  const Blocks& blocks = shard.blocks;
  return can_grow(shard, bytes) || (shard.entries < shard_limits_.entries && blocks.newest &&
                                    blocks.newest->size - blocks.newest->used >= bytes);
}

bool SegCache::seen_before(Shard& shard, size_t hash) noexcept {
  const size_t bits = shard_limits_.seen_bits;
  if (!shard.seen) {
    shard.seen.reset(new (std::nothrow) uint64_t[bits / 64]());
    // Without the bitmap the clock alone decides.
    if (!shard.seen) return true;
    shard.seen_marks = 0;
  }
  // Two bits per piece, in one word (one cache line to load), from hash bits
  // that neither the shards nor the maps place by.
  uint64_t& word = shard.seen[seen_word(hash)];
  const uint64_t mask = (uint64_t{1} << ((hash >> 24) & 63)) | (uint64_t{1} << ((hash >> 30) & 63));
  if ((word & mask) == mask) return true;
  if (shard.seen_marks >= shard_limits_.entries) {
    std::fill_n(shard.seen.get(), bits / 64, uint64_t{0});
    shard.seen_marks = 0;
  }
  word |= mask;
  ++shard.seen_marks;
  return false;
}

bool SegCache::make_room(Shard& shard, size_t bytes) {
  // Each sweep clears the marks of what it keeps, so one turn of the clock
  // over every block leaves nothing marked that was not looked up since; two
  // turns find room unless lookups outpace the clock.
  const size_t sweeps = 2 * shard.blocks.count + 1;
  for (size_t i = 0; i < sweeps && shard.blocks.oldest; ++i) {
    sweep_oldest(shard);
    if (has_room(shard, bytes)) return true;
  }
  return false;
}

void SegCache::sweep_oldest(Shard& shard) {
  Index& index = index_of(shard);
  Blocks& blocks = shard.blocks;
  Block* block = take_oldest(blocks);
  char* kept = block->data();
  for (char *at = block->data(), *end = at + block->used; at < end;) {
    auto* entry = reinterpret_cast<Entry*>(at);
    const size_t bytes = entry->bytes();
    at += bytes;
    if ((entry->flags & Entry::kDead) != 0) continue;
    // The index is searched only for an entry that leaves or moves (it finds
    // an entry by its address, so before the move).
    if ((entry->flags & Entry::kReferenced) == 0) {
      index.erase(index.find(*entry));
      --shard.entries;
      continue;
    }
    entry->flags &= ~Entry::kReferenced;
    if (kept != at - bytes) {
      const size_t slot = index.find(*entry);
      std::memmove(kept, entry, bytes);
      index.repoint(slot, reinterpret_cast<Entry*>(kept));
    }
    kept += bytes;
  }
  block->used = static_cast<uint32_t>(kept - block->data());
  // An emptied block of the growing sizes gives its bytes back, so that a
  // block of the largest size can take them.
  if (block->used == 0 && block->size + sizeof(Block) < shard_limits_.block) {
    blocks.bytes -= block->size + sizeof(Block);
    --blocks.count;
    std::free(block);
    return;
  }
  append_newest(blocks, block);
}

void SegCache::drop_oldest(Shard& shard) noexcept {
  Blocks& blocks = shard.blocks;
  Block* block = take_oldest(blocks);
  Index& index = index_of(shard);
  for (char *at = block->data(), *end = at + block->used; at < end;) {
    auto* entry = reinterpret_cast<Entry*>(at);
    at += entry->bytes();
    if ((entry->flags & Entry::kDead) != 0) continue;
    index.erase(index.find(*entry));
    --shard.entries;
  }
  blocks.bytes -= block->size + sizeof(Block);
  --blocks.count;
  std::free(block);
}

// ---- the whole cache ----

size_t SegCache::size() const {
  return locked_all([&] {
    if (poisoned_.load()) return size_t{0};
    if (!keeps_repeats()) return entries_.load(std::memory_order_relaxed);
    size_t total = 0;
    for (size_t i = 0; i < kShards; ++i) total += shards_[i].entries;
    return total;
  });
}

void SegCache::clear() {
  Block* released = nullptr;
  locked_all([&] {
    if (!poisoned_.load(std::memory_order_relaxed)) take_everything(released);
  });
  free_blocks(released);
}

size_t SegCache::capacity() const {
  return locked_all([&] {
    size_t total = 0;
    for (size_t i = 0; i < kShards; ++i) total += indexes_[i].capacity();
    return total;
  });
}

size_t SegCache::bytes_taken() const {
  return locked_all([&] {
    size_t total = kShards * (sizeof(Shard) + sizeof(Index));
    for (size_t i = 0; i < kShards; ++i) {
      const Shard& shard = shards_[i];
      total += shard.blocks.bytes + indexes_[i].bytes();
      if (shard.seen) total += shard_limits_.seen_bits / 8;
    }
    return total;
  });
}

void SegCache::set_limits(Limits limits) {
  Block* released = nullptr;
  locked_all([&] {
    const bool same_policy = limits.policy == limits_.policy;
    limits_ = limits;
    shard_limits_ = shard_limits_of(limits);
    if (!same_policy) {
      take_everything(released);
      return;
    }
    if (!keeps_repeats()) return;
    for (size_t i = 0; i < kShards; ++i) {
      Shard& shard = shards_[i];
      shard.seen.reset();  // sized for the old limits
      shard.seen_marks = 0;
      while (shard.blocks.oldest &&
             (shard.blocks.bytes > shard_limits_.bytes || shard.entries > shard_limits_.entries)) {
        drop_oldest(shard);
      }
    }
  });
  free_blocks(released);
}

void SegCache::invalidate_front_caches_only() noexcept {
  generation_.store(fresh_generation(), std::memory_order_release);
}

void SegCache::invalidate_front_caches() noexcept {
  invalidate_front_caches_only();
  if (holds_entries_.load(std::memory_order_relaxed)) clear();
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
