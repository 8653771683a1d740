// The word-level segmentation cache that every trie owns: a map from
// (byte-fallback flag, piece text) to the piece's decoded spans, behind short
// locks that are never held while decoding. A lookup copies the stored spans
// (or only their ids) out to the caller.
//
// Storage. The map is split into 256 shards by key hash, each behind its own
// lock. A shard carves its entries (an 8-byte header, the key's bytes, 8 bytes
// per span) from blocks of up to 4 KiB that grow from 512 bytes, so that
// storing a piece allocates nothing but, now and then, a block. Its index is
// an open-addressing table of 12 bytes a slot, at most three quarters used,
// whose slot for a key a thread can request before it takes the lock (see
// `prefetch`). On the benchmark corpus a piece takes about 72 bytes in all.
//
// What happens when a cache is full depends on its policy:
//  - `kEmptyWhenFull`, every trie's cache until its owner says otherwise:
//    storing a new key while the cache holds `max_entries` entries empties the
//    whole cache first, and nothing else ever leaves it. The rule holds exactly
//    under parallel stores: an entry is counted under its shard's lock before
//    it is inserted, and a count that would pass the ceiling is settled with
//    every shard locked.
//  - `kKeepRepeats`, for owners that never show the cache (a tokenizer, a C
//    handle): each shard gets an equal share of `max_entries` and `max_bytes`
//    and never holds more. The bytes are all the shard takes: its index at
//    the size its share of entries needs and its bitmap of recent pieces come
//    first, its blocks get the rest. While a shard can grow it stores every
//    piece. Once it is full it stores a new piece only on its second sight
//    (a bitmap of the pieces recently turned away, two bits a piece), and
//    makes room for it by a clock over its blocks: the oldest
//    block is swept, the pieces looked up since the last sweep are kept (moved
//    to the block's front) and the rest leave, and the block becomes the
//    newest. Pieces that repeat stay, one-off pieces pass through without
//    displacing anything, and the memory stays within the limits. Since nobody
//    relies on such a cache keeping old segmentations, a vocabulary change
//    empties it.
//
// Threads do not meet on the locks for the pieces they see again and again:
// they read them through front layers (see seg_front_cache.h) without any
// lock or shared write, valid for as long as the cache's generation stays
// what it was when the entry was taken. Every change that could make a front
// entry disagree with this map (clearing, emptying, poisoning, a vocabulary
// change) moves the generation on; a piece leaving by the clock does not, as
// the front's copy of it is still the piece's segmentation.
//
// A failure while a lock is held poisons the cache for good: from then on it
// neither finds nor stores anything and reports a size of 0, and decoding goes
// on without it. Memory that cannot be had for a block or a larger index only
// means that the piece is not stored.
//
// Fork: the cache takes all its locks before a fork and gives them back after
// it in both processes (see core/fork_guard.h), so a child inherits a whole,
// usable cache with the parent's entries.
#pragma once

#include <pthread.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "core/fork_guard.h"
#include "core/seeded_hash.h"
#include "core/segmentation.h"

namespace brindlore {

// A lock held for a few dozen instructions. A thread that finds it taken
// spins briefly before sleeping in the kernel (glibc's adaptive mutex), so
// that workers meeting on a shard neither sleep for a lookup nor spin long
// when the holder has been preempted.
class ShardMutex {
 public:
  ShardMutex() noexcept { init(); }
  ~ShardMutex() { pthread_mutex_destroy(&mutex_); }
  ShardMutex(const ShardMutex&) = delete;
  ShardMutex& operator=(const ShardMutex&) = delete;

  void lock() noexcept { pthread_mutex_lock(&mutex_); }
  void unlock() noexcept { pthread_mutex_unlock(&mutex_); }

 private:
  void init() noexcept {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
  }

  pthread_mutex_t mutex_;
};

// True when the `n` bytes at `a` and `b` are equal; for the short keys of the
// caches, without a call.
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
  for (; n >= 8; a += 8, b += 8, n -= 8) {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    if (x != y) return false;
  }
  for (; n > 0; --n) {
    if (*a++ != *b++) return false;
  }
  return true;
}

// The ids of a segmentation, kept beside it when every span has one and there
// are at most kMax of them (most pieces): an id encode then reads them next to
// the key it matched, without going to the segmentation.
struct InlineIds {
  static constexpr size_t kMax = 4;
  uint32_t ids[kMax] = {};
  uint8_t count = 0;
  bool present = false;

  static InlineIds of(std::span<const CachedSpan> spans) noexcept;
};

class SegCache final : private ForkHooks {
 public:
  // Pieces longer than this many bytes are never looked up or stored.
  static constexpr size_t kMaxPieceBytes = 1024;
  // Storing a new key while the map holds this many entries empties it first.
  static constexpr size_t kMaxEntries = 100000;
  // What the cache of a trie made by `RustPrefixTrie::make_new` takes before
  // its index first grows (the index rounds up to its own group size).
  static constexpr size_t kPresizedEntries = 14336;
  static constexpr size_t kShards = 256;

  // What a full cache does (see the top of this file).
  enum class Policy { kEmptyWhenFull, kKeepRepeats };

  struct Limits {
    Policy policy = Policy::kEmptyWhenFull;
    size_t max_entries = kMaxEntries;
    // kKeepRepeats only: the bytes of the whole cache, its index and its
    // record of recent pieces included.
    size_t max_bytes = SIZE_MAX;
  };

  // A key with its hash, computed before the lock is taken.
  struct Probe {
    std::string_view text;
    bool byte_fallback;
    size_t hash;
  };

  // `reserve_entries` 0 allocates nothing until the first store.
  explicit SegCache(size_t reserve_entries);
  SegCache(size_t reserve_entries, Limits limits);
  ~SegCache();

  SegCache(const SegCache&) = delete;
  SegCache& operator=(const SegCache&) = delete;

  // The key of `piece` under the flag; `piece` must outlive the probe.
  Probe probe(bool byte_fallback, std::string_view piece) const noexcept;

  // Looks the key up. On a hit, `ids` gets the stored ids (`present` when they
  // are inline) and, when `need_spans` or when they are not inline, `spans`
  // gets the stored spans; returns true. A miss, or a poisoned cache, returns
  // false; `ids` and `spans` are then unspecified (a miss after `spans` had to
  // grow leaves them written). Allocates only when `spans` must grow.
  bool find(const Probe& key, bool need_spans, InlineIds& ids, SpanList& spans) const;
  // A new segmentation of the stored spans, or null.
  SegmentationRef lookup(bool byte_fallback, std::string_view piece) const;

  // Stores a copy of `spans` under the key, replacing an existing value. A key
  // that is not yet present makes room first as the policy says. Returns
  // whether the cache holds the key afterwards: false when it is poisoned, when
  // the policy turns the piece away, or when no memory could be had for it.
  bool store(const Probe& key, std::span<const CachedSpan> spans);
  bool store(bool byte_fallback, std::string_view piece, const SegmentationRef& seg) {
    return store(probe(byte_fallback, piece), seg->spans.view());
  }

  // Starts loading what a lookup of the key reads first: its shard's lock
  // and its slot of the index.
  void prefetch(size_t hash) const noexcept {
    __builtin_prefetch(&shard_of(hash));
    indexes_[shard_number(hash)].prefetch(hash);
  }
  // The same for a store of the key, which writes its shard's lines.
  void prefetch_for_store(size_t hash) const noexcept {
    const Shard& shard = shard_of(hash);
    __builtin_prefetch(&shard, 1);
    __builtin_prefetch(reinterpret_cast<const char*>(&shard) + 64, 1);
  }

  // Number of entries; 0 when poisoned.
  size_t size() const;

  // Removes every entry and gives back the blocks, keeping the index's
  // capacity. No-op when poisoned.
  void clear();

  // Number of entries the index takes before it grows (for tests).
  size_t capacity() const;

  // Bytes the cache takes: its shards with their blocks, indexes and bitmaps
  // of recent pieces (for tests).
  size_t bytes_taken() const;

  // Changes the limits (for owners that never expose the cache). A cache that
  // changes its policy starts empty; one that keeps its policy leaves only
  // what its new limits make it drop.
  void set_limits(Limits limits);

  // A number that stays the same exactly as long as every entry a thread took
  // from this cache may still be served from that thread's front cache. No
  // two caches of the process ever share a value. Lock-free, no shared write.
  uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // For changes of the vocabulary the cache serves (an inserted token, a new
  // length limit): front caches must ask this map again. A `kEmptyWhenFull`
  // cache still answers with what it holds; a `kKeepRepeats` cache forgets
  // everything, so that it only ever serves the current vocabulary's decode.
  void invalidate_front_caches() noexcept;

 private:
  // The 32 bits of a key's hash that its index places it by (below the
  // shards' bits 40 to 47, highest first), never 0.
  static uint32_t tag_of(size_t hash) noexcept {
    return static_cast<uint32_t>(std::rotl(static_cast<uint64_t>(hash), 24) >> 32) | 1;
  }

  // One stored piece, carved from a block: this header, the key's bytes
  // (padded to 4), then the spans. A lookup reads the header and the key side
  // by side.
  struct Entry {
    static constexpr uint32_t kByteFallback = 1;
    static constexpr uint32_t kReferenced = 2;  // looked up since the clock last passed
    static constexpr uint32_t kDead = 4;        // replaced: the index no longer names it

    uint32_t tag;
    uint32_t span_count : 11;  // at most kMaxPieceBytes: a span covers a byte at least
    uint32_t key_size : 11;
    uint32_t flags : 3;

    static size_t key_room(size_t key_size) noexcept { return (key_size + 3) & ~size_t{3}; }
    static size_t bytes_for(size_t spans, size_t key_size) noexcept {
      return sizeof(Entry) + key_room(key_size) + spans * sizeof(CachedSpan);
    }
    size_t bytes() const noexcept { return bytes_for(span_count, key_size); }
    char* key() noexcept { return reinterpret_cast<char*>(this + 1); }
    std::string_view text() const noexcept {
      return {reinterpret_cast<const char*>(this + 1), key_size};
    }
    const CachedSpan* spans() const noexcept {
      return reinterpret_cast<const CachedSpan*>(reinterpret_cast<const char*>(this + 1) +
                                                 key_room(key_size));
    }
    CachedSpan* spans() noexcept {
      return reinterpret_cast<CachedSpan*>(key() + key_room(key_size));
    }
    std::span<const CachedSpan> span_view() const noexcept { return {spans(), span_count}; }
    bool byte_fallback() const noexcept { return (flags & kByteFallback) != 0; }
    InlineIds ids() const noexcept { return InlineIds::of(span_view()); }
  };
  static_assert(sizeof(Entry) == 8 && alignof(CachedSpan) == 4 && kMaxPieceBytes < 2048);

  // A block of entries, followed by `size` bytes of room; `used` of them are
  // taken, from the front.
  struct Block {
    Block* newer;
    uint32_t size;
    uint32_t used;
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
    const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  };
  static_assert(sizeof(Block) == 16);

  // A shard's blocks, oldest first, linked through `newer`.
  struct Blocks {
    Block* oldest = nullptr;
    Block* newest = nullptr;
    size_t bytes = 0;  // of every block, headers included
    size_t count = 0;
  };

  // A shard's index: open addressing with linear probing, a power of two of
  // slots, at most three quarters used. The slots' tags and entries are two
  // arrays, so that probing scans 16 tags to a cache line and reads an entry
  // only for its own tag; tag 0 is a free slot, and erasing shifts the slots
  // after it back, so that no tombstones build up under the clock's churn. The
  // table's address and size are kept in atomics, so that a thread may
  // prefetch a key's slot before it takes the lock (a stale address only
  // wastes the prefetch). Never throws: a table that cannot grow refuses the
  // insertion.
  class Index {
   public:
    static constexpr size_t kNone = SIZE_MAX;

    Index() = default;
    ~Index() { std::free(table_.load(std::memory_order_relaxed)); }
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    // The slot of the key, or kNone.
    size_t find(const Probe& key) const noexcept;
    // The slot that names `entry`, which must be indexed.
    size_t find(const Entry& entry) const noexcept;
    Entry* entry(size_t slot) const noexcept { return entries()[slot]; }
    void repoint(size_t slot, Entry* entry) noexcept { entries()[slot] = entry; }
    // Adds an entry whose key is not indexed yet; false when the table would
    // have to grow and cannot.
    bool insert(Entry* entry) noexcept;
    void erase(size_t slot) noexcept;
    // Frees every slot, keeping the table.
    void clear() noexcept;
    // Grows the table to take `entries` entries; false when it cannot.
    bool reserve(size_t entries) noexcept;
    // Entries the table takes before it grows.
    size_t capacity() const noexcept { return max_used(size()); }
    // The bytes of the table, and of one that `insert` has grown to take
    // `entries` entries.
    size_t bytes() const noexcept { return size() * kSlotBytes; }
    static size_t bytes_for(size_t entries) noexcept;
    void prefetch(size_t hash) const noexcept {
      const void* table = table_.load(std::memory_order_relaxed);
      const unsigned shift = shift_.load(std::memory_order_relaxed);
      if (table == nullptr) return;
      const size_t i = position(tag_of(hash), shift);
      __builtin_prefetch(static_cast<const uint32_t*>(table) + i);
      __builtin_prefetch(static_cast<Entry* const*>(table) + (size_t{1} << (32 - shift)) / 2 + i);
    }

   private:
    static constexpr size_t kSlotBytes = sizeof(uint32_t) + sizeof(Entry*);
    static size_t max_used(size_t size) noexcept { return size / 4 * 3; }
    static size_t position(uint32_t tag, unsigned shift) noexcept { return tag >> shift; }
    size_t size() const noexcept {
      const unsigned shift = shift_.load(std::memory_order_relaxed);
      return shift == 32 ? 0 : size_t{1} << (32 - shift);
    }
    uint32_t* tags() const noexcept {
      return static_cast<uint32_t*>(table_.load(std::memory_order_relaxed));
    }
    // After the tags (the table holds at least two slots, so they end on 8).
    Entry** entries() const noexcept { return reinterpret_cast<Entry**>(tags() + size()); }
    bool rebuild(size_t size) noexcept;

    std::atomic<void*> table_{nullptr};
    std::atomic<uint32_t> shift_{32};  // 32 - log2(size); 32 while there is no table
    uint32_t used_ = 0;
  };
  static_assert(sizeof(Index) == 16);

  struct alignas(64) Shard {
    ShardMutex mutex;
    Blocks blocks;
    // kKeepRepeats: the entries of this shard, and the bitmap of the pieces
    // turned away since it was last reset (allocated when the shard first
    // turns one away).
    size_t entries = 0;
    std::unique_ptr<uint64_t[]> seen;
    size_t seen_marks = 0;
  };

  // What kKeepRepeats allows each shard, from the limits.
  struct ShardLimits {
    size_t entries = 0;
    size_t bytes = 0;
    size_t block = 0;      // the largest block it allocates, header included
    size_t seen_bits = 0;  // a power of two
  };
  static ShardLimits shard_limits_of(const Limits& limits) noexcept;

  // Bits the indexes and the front caches do not place by.
  static size_t shard_number(size_t hash) noexcept { return (hash >> 40) % kShards; }
  Shard& shard_of(size_t hash) const noexcept { return shards_[shard_number(hash)]; }
  // A shard's index, guarded by the shard's lock. The indexes are kept
  // together, apart from the shards, so that finding where a key's slot is
  // reads memory that stays in the cache.
  Index& index_of(const Shard& shard) const noexcept { return indexes_[&shard - shards_.get()]; }
  bool keeps_repeats() const noexcept { return limits_.policy == Policy::kKeepRepeats; }

  // Runs `body`; an exception escaping it poisons the cache for good.
  template <typename F>
  auto poisoning(F&& body) const;
  // Runs `body` with `shard` locked.
  template <typename F>
  auto locked(Shard& shard, F&& body) const;
  // Runs `body` with every shard locked, in shard order, after the lock that
  // lets one thread at a time do so.
  template <typename F>
  auto locked_all(F&& body) const;

  // ---- both policies, with the shard locked ----
  // Room for an entry of `bytes` bytes at the end of the newest block, or in
  // a new block when `allocate`; null when there is none.
  Entry* carve(Shard& shard, size_t bytes, bool allocate) noexcept;
  // The size, header included, of the block `blocks` would take next for an
  // entry of `entry_bytes` bytes.
  size_t next_block_bytes(const Blocks& blocks, size_t entry_bytes) const noexcept;
  static void append_newest(Blocks& blocks, Block* block) noexcept;
  static Block* take_oldest(Blocks& blocks) noexcept;
  // Writes an entry for the key and spans at `at`.
  static Entry* write(void* at, const Probe& key, std::span<const CachedSpan> spans) noexcept;
  // Whether `entry` holds exactly these spans.
  static bool holds(const Entry& entry, std::span<const CachedSpan> spans) noexcept;
  // Replaces what `slot` (of `key`) names by the spans, unless it holds them
  // already. Returns false (changing nothing) when no memory could be had.
  bool replace(Shard& shard, size_t slot, const Probe& key, std::span<const CachedSpan> spans);
  // Carves, writes and indexes an entry for a key that is not indexed; false
  // (leaving nothing behind) when no memory could be had.
  bool add(Shard& shard, const Probe& key, std::span<const CachedSpan> spans) noexcept;
  // Takes every entry out of the shard, keeping the index's capacity; its
  // blocks are added to `released`, to be freed once the locks are given back.
  void take_all(Shard& shard, Block*& released) noexcept;
  // The same for every shard (all locked), and a new generation.
  void take_everything(Block*& released) noexcept;
  // Frees a chain of blocks linked through `newer`.
  static void free_blocks(Block* chain) noexcept;
  void invalidate_front_caches_only() noexcept;

  // ---- kEmptyWhenFull ----
  // Counts one more entry, unless that would pass the ceiling. Needs the lock
  // of the shard the entry goes to.
  bool reserve() noexcept;
  // A store with the shard of the key locked. At the ceiling, a store given
  // `released` (every shard locked) empties the cache into it first; one
  // without reports kFull.
  enum class Stored { kNo, kYes, kFull };
  Stored store_locked(Shard& shard, const Probe& key, std::span<const CachedSpan> spans,
                      Block** released);

  // ---- kKeepRepeats, with the shard locked ----
  bool store_keeping_repeats(Shard& shard, const Probe& key, std::span<const CachedSpan> spans);
  // Whether the shard may take an entry of `bytes` bytes in a new block, or
  // else has room for it at the end of its newest one (which the clock made).
  bool can_grow(const Shard& shard, size_t bytes) const noexcept;
  bool has_room(const Shard& shard, size_t bytes) const noexcept;
  // True on the second sight of `hash` since the bitmap was last reset; marks
  // the first.
  bool seen_before(Shard& shard, size_t hash) noexcept;
  size_t seen_word(size_t hash) const noexcept {
    return (hash >> 8) & (shard_limits_.seen_bits / 64 - 1);
  }
  // Starts loading what a store of the key (which follows a miss) writes.
  void prefetch_store(const Shard& shard, size_t hash) const noexcept;
  // Sweeps the oldest block (see the top of this file) until an entry of
  // `bytes` bytes fits; false when a whole turn of the clock found no room.
  bool make_room(Shard& shard, size_t bytes);
  void sweep_oldest(Shard& shard);
  // Drops the oldest block with all its entries.
  void drop_oldest(Shard& shard) noexcept;

  // ---- fork (core/fork_guard.h) ----
  void before_fork() noexcept override;
  void after_fork_in_parent() noexcept override;
  void after_fork_in_child() noexcept override;

  uint64_t seed_;
  Limits limits_;
  ShardLimits shard_limits_;
  std::unique_ptr<Shard[]> shards_;
  std::unique_ptr<Index[]> indexes_;
  mutable std::mutex all_shards_;  // taken before every shard lock by locked_all
  // kEmptyWhenFull: changed by stores of new keys only; apart from what hits
  // read.
  alignas(64) std::atomic<size_t> entries_{0};
  // kKeepRepeats: set by the first store after an emptying, so that a
  // vocabulary change of an empty cache needs no lock.
  std::atomic<bool> holds_entries_{false};
  // Read by every lookup of every thread, written only on invalidation and
  // poisoning: kept apart from the locks and counters, which misses write.
  alignas(64) mutable std::atomic<uint64_t> generation_;
  mutable std::atomic<bool> poisoned_{false};
  ForkRegistration fork_registration_{*this};  // last: registered only while whole
};

}  // namespace brindlore
