// The word-level segmentation cache that every trie owns: a map from
// (byte-fallback flag, piece text) to the piece's decoded spans, behind short
// locks that are never held while decoding. A lookup that needs a
// segmentation gets a new one of its own, made from the stored spans.
//
// The rules hold exactly under parallel stores: the entry count, the
// all-at-once emptying when a new key meets the ceiling, and poisoning.
// Threads do not meet on the locks for the pieces they see again and again:
// they read them through front layers (see seg_front_cache.h) without any
// lock or shared write, valid for as long as the cache's generation stays
// what it was when the entry was taken. Every change
// that could make a front entry disagree with this map (clearing, emptying,
// poisoning, a vocabulary change) moves the generation on.
//
// A failure while the lock is held poisons the cache for good: from then on it
// neither finds nor stores anything and reports a size of 0, and decoding goes
// on without it.
//
// Fork: the cache takes all its locks before a fork and gives them back after
// it in both processes (see core/fork_guard.h), so a child inherits a whole,
// usable cache with the parent's entries.
#pragma once

#include <pthread.h>

#include <atomic>
#include <boost/unordered/unordered_flat_set.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

  static InlineIds of(const CachedSegmentation& seg) noexcept;
};

class SegCache : private ForkHooks {
 public:
  // Pieces longer than this many bytes are never looked up or stored.
  static constexpr size_t kMaxPieceBytes = 1024;
  // Storing a new key while the map holds this many entries empties it first.
  static constexpr size_t kMaxEntries = 100000;
  // What the cache of a trie made by `RustPrefixTrie::make_new` takes before
  // its table first grows (the table rounds up to its own group size).
  static constexpr size_t kPresizedEntries = 14336;

  // When storing a new key empties the map first: when it already holds
  // `max_entries` entries, or when the key's text would take the texts of all
  // keys past `max_key_bytes`.
  struct Limits {
    size_t max_entries = kMaxEntries;
    size_t max_key_bytes = SIZE_MAX;
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

  SegCache(const SegCache&) = delete;
  SegCache& operator=(const SegCache&) = delete;

  // The key of `piece` under the flag; `piece` must outlive the probe.
  Probe probe(bool byte_fallback, std::string_view piece) const noexcept;

  // What a lookup finds: nothing (a miss, or a poisoned cache), or the stored
  // ids and, unless they are inline and the caller does without it, a new
  // segmentation of the stored spans, the caller's own.
  struct Found {
    bool found = false;
    SegmentationRef seg;
    InlineIds ids;
  };

  // Looks the key up. With `with_segmentation` false, a hit with inline ids
  // leaves `seg` null and allocates nothing.
  Found lookup(const Probe& key, bool with_segmentation) const;
  // A segmentation of the stored spans, or null.
  SegmentationRef lookup(bool byte_fallback, std::string_view piece) const {
    return lookup(probe(byte_fallback, piece), true).seg;
  }

  // Stores a copy of `seg`'s spans under the key, replacing an existing
  // value. A key that is not yet present empties the whole map first when the
  // limits say so. Returns false (storing nothing) when the cache is
  // poisoned. Throws std::bad_alloc, before taking any lock, when the copy's
  // memory cannot be had.
  bool store(const Probe& key, const CachedSegmentation& seg);
  bool store(bool byte_fallback, std::string_view piece, const SegmentationRef& seg) {
    return store(probe(byte_fallback, piece), *seg);
  }

  // Number of entries; 0 when poisoned.
  size_t size() const;

  // Removes every entry, keeping the table's capacity. No-op when poisoned.
  void clear();

  // Number of entries the table takes before it grows (for tests).
  size_t capacity() const;

  // Changes the limits (for owners that never expose the cache); applies from
  // the next store on.
  void set_limits(Limits limits);

  // A number that stays the same exactly as long as every entry a thread took
  // from this cache may still be served from that thread's front cache. No
  // two caches of the process ever share a value. Lock-free, no shared write.
  uint64_t generation() const noexcept { return generation_.load(std::memory_order_acquire); }

  // Moves the generation on, for changes of the vocabulary the cache serves
  // (an inserted token, a new length limit): front caches must ask this map
  // again, which still answers with what it holds.
  void invalidate_front_caches() noexcept;

 private:
  // One stored piece in one block of memory: a small header, the spans, then
  // the key's bytes. A segmentation is made from the spans for each lookup
  // that needs one, so that an entry costs its bytes and no more (the
  // benchmark corpus's pieces take about 75 bytes each, the map included).
  class Piece {
   public:
    struct Free {
      void operator()(Piece* piece) const noexcept { std::free(piece); }
    };
    using Ptr = std::unique_ptr<Piece, Free>;

    // Throws std::bad_alloc when the memory cannot be had.
    static Ptr make(const Probe& key, const CachedSegmentation& seg);

    bool byte_fallback() const noexcept { return byte_fallback_; }
    std::string_view text() const noexcept {
      return {reinterpret_cast<const char*>(spans() + span_count_), key_size_};
    }
    InlineIds ids() const noexcept;
    SegmentationRef segmentation() const;

   private:
    Piece() = default;
    const CachedSpan* spans() const noexcept {
      return reinterpret_cast<const CachedSpan*>(this + 1);
    }
    CachedSpan* spans() noexcept { return reinterpret_cast<CachedSpan*>(this + 1); }

    uint32_t span_count_ = 0;
    uint16_t key_size_ = 0;
    bool byte_fallback_ = false;
  };
  static_assert(sizeof(Piece) == 8 && alignof(CachedSpan) <= 8);

  struct Stored {
    size_t hash;
    mutable Piece::Ptr piece;  // replaced in place by a store of the same key
  };
  struct KeyHash {
    using is_transparent = void;
    using is_avalanching = void;  // the stored hash is XXH3 output
    size_t operator()(const Stored& k) const noexcept { return k.hash; }
    size_t operator()(const Probe& k) const noexcept { return k.hash; }
  };
  struct KeyEq {
    using is_transparent = void;
    static bool same(const Stored& a, size_t hash, bool byte_fallback,
                     std::string_view text) noexcept {
      if (a.hash != hash || a.piece->byte_fallback() != byte_fallback) return false;
      const std::string_view x = a.piece->text();
      return x.size() == text.size() && same_bytes(x.data(), text.data(), x.size());
    }
    bool operator()(const Stored& a, const Stored& b) const noexcept {
      return same(a, b.hash, b.piece->byte_fallback(), b.piece->text());
    }
    bool operator()(const Stored& a, const Probe& b) const noexcept {
      return same(a, b.hash, b.byte_fallback, b.text);
    }
    bool operator()(const Probe& b, const Stored& a) const noexcept {
      return same(a, b.hash, b.byte_fallback, b.text);
    }
  };
  using Map = boost::unordered_flat_set<Stored, KeyHash, KeyEq>;

  // The map is split into shards by key hash, each behind its own lock, so
  // that the misses of parallel workers do not all queue on one lock. It
  // still behaves as one map: an entry is counted (`reserve`) under the lock
  // of the shard it goes to, before it is inserted there, and a count that
  // would pass the limits is settled with every shard locked, where it is
  // exact.
  static constexpr size_t kShards = 256;
  struct alignas(64) Shard {
    ShardMutex mutex;
    Map map;
  };

  // Bits the maps and the front caches do not place by.
  Shard& shard_of(size_t hash) const noexcept { return shards_[(hash >> 40) % kShards]; }

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

  // Counts one more entry with a key of `bytes` bytes, unless that would pass
  // the limits. Needs the lock of the shard the entry goes to.
  bool reserve(size_t bytes) noexcept;

  // With every shard locked: takes every entry out of the maps (which keep
  // their capacity) into `removed`, to be released once the locks are given
  // back.
  void take_all(std::vector<Map>& removed);

  // ---- fork (core/fork_guard.h) ----
  void before_fork() noexcept override;
  void after_fork_in_parent() noexcept override;
  void after_fork_in_child() noexcept override;

  uint64_t seed_;
  Limits limits_;
  std::unique_ptr<Shard[]> shards_;
  mutable std::mutex all_shards_;  // taken before every shard lock by locked_all
  // Changed by stores of new keys only; apart from what hits read.
  alignas(64) std::atomic<size_t> entries_{0};
  std::atomic<size_t> key_bytes_{0};
  // Read by every lookup of every thread, written only on invalidation and
  // poisoning: kept apart from the locks and counters, which misses write.
  alignas(64) mutable std::atomic<uint64_t> generation_;
  mutable std::atomic<bool> poisoned_{false};
  ForkRegistration fork_registration_{*this};  // last: registered only while whole
};

}  // namespace brindlore
