// The word-level segmentation cache that every trie owns: a map from
// (byte-fallback flag, piece text) to an immutable, reference-counted
// segmentation, behind one mutex that is held only for a lookup or a store.
//
// A failure while the lock is held poisons the cache for good: from then on it
// neither finds nor stores anything and reports a size of 0, and decoding goes
// on without it.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/seeded_hash.h"

namespace brindlore {

// One decoded token of a cached piece; offsets count characters of the piece.
struct CachedSpan {
  std::string token;
  std::optional<uint32_t> token_id;
  size_t start = 0;
  size_t end = 0;
};

// The decode result of one piece. Never changed once handed out.
struct CachedSegmentation {
  std::vector<CachedSpan> spans;
};

using SegmentationRef = std::shared_ptr<const CachedSegmentation>;

class SegCache {
 public:
  // Pieces longer than this many bytes are never looked up or stored.
  static constexpr size_t kMaxPieceBytes = 1024;
  // Storing a new key while the map holds this many entries empties it first.
  static constexpr size_t kMaxEntries = 100000;
  // What the cache of a trie made by `RustPrefixTrie::make_new` takes before
  // its table first grows (the table rounds up to its own group size).
  static constexpr size_t kPresizedEntries = 14336;

  // `reserve_entries` 0 allocates nothing until the first store.
  explicit SegCache(size_t reserve_entries);

  SegCache(const SegCache&) = delete;
  SegCache& operator=(const SegCache&) = delete;

  // The stored segmentation, or null on a miss or when the cache is poisoned.
  SegmentationRef lookup(bool byte_fallback, std::string_view piece) const;

  // Stores `seg` under the key, replacing an existing value. A key that is not
  // yet present empties the whole map first when it is full. Does nothing when
  // the cache is poisoned.
  void store(bool byte_fallback, std::string_view piece, SegmentationRef seg);

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
  };
  struct KeyView {
    std::string_view text;
    bool byte_fallback;
  };
  struct KeyHash {
    using is_transparent = void;
    SeededTextHash text_hash;
    size_t operator()(const Key& k) const noexcept { return (*this)(KeyView{k.text, k.byte_fallback}); }
    size_t operator()(const KeyView& k) const noexcept {
      return text_hash(k.text) ^ (k.byte_fallback ? 0x9E3779B97F4A7C15ULL : 0);
    }
  };
  struct KeyEq {
    using is_transparent = void;
    static KeyView view(const Key& k) { return {k.text, k.byte_fallback}; }
    static KeyView view(const KeyView& k) { return k; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const noexcept {
      KeyView x = view(a), y = view(b);
      return x.byte_fallback == y.byte_fallback && x.text == y.text;
    }
  };
  using Map = boost::unordered_flat_map<Key, SegmentationRef, KeyHash, KeyEq>;

  // Runs `body` under the lock; an exception escaping it poisons the cache.
  template <typename F>
  auto locked(F&& body) const;

  mutable std::mutex mutex_;
  // Guarded by mutex_; mutable so that const readers can take the lock.
  mutable bool poisoned_ = false;
  mutable Map map_;
};

}  // namespace brindlore
