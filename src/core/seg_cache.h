// The word-level segmentation cache that every trie owns: a map from
// (byte-fallback flag, piece text) to an immutable, reference-counted
// segmentation. A lock is held only for one lookup or one store, never while
// decoding.
//
// The map is split into shards by key hash, each behind its own short lock,
// so that the workers of a parallel batch, which look up every piece, do not
// all queue on one lock. The cache still behaves as one map: its size is the
// sum of the shards, and storing a new key while the whole cache holds
// `kMaxEntries` entries empties every shard first.
//
// A failure while a lock is held poisons the cache for good: from then on it
// neither finds nor stores anything and reports a size of 0, and decoding goes
// on without it.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/seeded_hash.h"
#include "core/segmentation.h"

namespace brindlore {

// A mutex for critical sections of a few dozen instructions: it spins
// briefly before yielding, so that worker threads meeting on the cache do not
// go to sleep in the kernel for a lookup that takes nanoseconds.
class SpinMutex {
 public:
  void lock() noexcept;
  bool try_lock() noexcept { return !locked_.exchange(true, std::memory_order_acquire); }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

class SegCache {
 public:
  // Pieces longer than this many bytes are never looked up or stored.
  static constexpr size_t kMaxPieceBytes = 1024;
  // Storing a new key while the map holds this many entries empties it first.
  static constexpr size_t kMaxEntries = 100000;
  // What the cache of a trie made by `RustPrefixTrie::make_new` takes before
  // its table first grows (the table rounds up to its own group size).
  static constexpr size_t kPresizedEntries = 14336;

  // A key with its hash, computed before the lock is taken.
  struct Probe {
    std::string_view text;
    bool byte_fallback;
    size_t hash;
  };

  // `reserve_entries` 0 allocates nothing until the first store.
  explicit SegCache(size_t reserve_entries);

  SegCache(const SegCache&) = delete;
  SegCache& operator=(const SegCache&) = delete;

  // The key of `piece` under the flag; `piece` must outlive the probe.
  Probe probe(bool byte_fallback, std::string_view piece) const noexcept;

  // The stored segmentation, or null on a miss or when the cache is poisoned.
  SegmentationRef lookup(const Probe& key) const;
  SegmentationRef lookup(bool byte_fallback, std::string_view piece) const {
    return lookup(probe(byte_fallback, piece));
  }

  // Stores `seg` under the key, replacing an existing value. A key that is not
  // yet present empties the whole map first when it is full. Does nothing when
  // the cache is poisoned.
  void store(const Probe& key, SegmentationRef seg);
  void store(bool byte_fallback, std::string_view piece, SegmentationRef seg) {
    store(probe(byte_fallback, piece), std::move(seg));
  }

  // Number of entries; 0 when poisoned.
  size_t size() const;

  // Removes every entry, keeping the table's capacity. No-op when poisoned.
  void clear();

  // Number of entries the table takes before it grows (for tests).
  size_t capacity() const;

  bool poisoned() const;

 private:
  struct Key {
    std::string text;
    bool byte_fallback;
    size_t hash;
  };
  struct KeyHash {
    using is_transparent = void;
    using is_avalanching = void;  // the stored hash is XXH3 output
    size_t operator()(const Key& k) const noexcept { return k.hash; }
    size_t operator()(const Probe& k) const noexcept { return k.hash; }
  };
  struct KeyEq {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const noexcept {
      return a.hash == b.hash && a.byte_fallback == b.byte_fallback &&
             std::string_view(a.text) == std::string_view(b.text);
    }
  };
  using Map = boost::unordered_flat_map<Key, SegmentationRef, KeyHash, KeyEq>;

  static constexpr size_t kShards = 64;
  struct alignas(64) Shard {
    SpinMutex mutex;
    Map map;
    Map spare;  // holds the removed entries while an emptying releases them
  };

  Shard& shard_of(size_t hash) const noexcept { return shards_[(hash >> 32) % kShards]; }

  // Runs `body`; an exception escaping it poisons the cache for good.
  template <typename F>
  auto poisoning(F&& body) const;
  // Runs `body` with `shard` locked, poisoning the cache if it throws.
  template <typename F>
  auto locked(Shard& shard, F&& body) const;
  // Runs `body` with every shard locked, in shard order.
  template <typename F>
  auto locked_all(F&& body) const;

  // Empties every shard: each map is swapped for an empty one of the same
  // capacity under the locks, and the removed entries are released after the
  // locks are given back, so that other threads wait only for the swaps.
  // `before_swap` runs under all the locks first; it returns false to skip
  // the emptying.
  template <typename F>
  void empty_all(F&& before_swap);

  // Inserts a key known to be absent, under the shard's lock.
  void insert_absent(Shard& shard, const Probe& probe, SegmentationRef seg);

  uint64_t seed_;
  std::unique_ptr<Shard[]> shards_;
  std::mutex empty_mutex_;  // one emptying at a time; taken before any shard lock
  std::atomic<size_t> entries_{0};  // changed only under the lock of the shard concerned
  mutable std::atomic<bool> poisoned_{false};
};

}  // namespace brindlore
