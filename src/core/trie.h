// The vocabulary as a character trie: every token with its optional id and
// natural-log probability, one node per character, plus the word-level
// segmentation cache that belongs to the vocabulary.
//
// Layout: all nodes live in one vector and refer to each other by index. ASCII
// children are kept in a few inline slots, or in a 128-entry table once a node
// has many, so ASCII text is walked without hashing; other characters go
// through a per-node hash map with its own random seed.
//
// Thread safety: any number of threads may search and look up at once; the
// mutating members (`insert_token`, `set_max_subword_len`) need exclusive use,
// which the callers enforce. The cache has its own lock.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/seeded_hash.h"
#include "core/seg_cache.h"

namespace brindlore {

// One prefix-search match. `token` points into the trie and stays valid until
// the trie is next changed.
struct PrefixMatch {
  const std::string* token;
  std::optional<uint32_t> token_id;
  double log_p;
  size_t length;  // in characters
};

// Id and score of an exact vocabulary token.
struct TokenMetadata {
  std::optional<uint32_t> token_id;
  double log_p;
};

class RustPrefixTrie {
 public:
  // An empty trie with no length limit and an empty cache that allocates
  // nothing until its first entry.
  RustPrefixTrie();

  // An empty trie with the given limit and a cache pre-sized to take
  // `SegCache::kPresizedEntries` entries before it first grows.
  static RustPrefixTrie make_new(std::optional<uint64_t> max_subword_len);

  RustPrefixTrie(RustPrefixTrie&&) noexcept = default;
  RustPrefixTrie& operator=(RustPrefixTrie&&) noexcept = default;
  RustPrefixTrie(const RustPrefixTrie&) = delete;
  RustPrefixTrie& operator=(const RustPrefixTrie&) = delete;

  // Adds `token` (valid UTF-8) or replaces its id and score. Refuses an empty
  // token, then a score that is not finite; a refusal changes nothing. Does
  // not touch the segmentation cache.
  Status insert_token(std::string_view token, std::optional<uint32_t> token_id, double log_p);

  // Id and score of `token` when it was inserted; absent otherwise.
  std::optional<TokenMetadata> exact_metadata(std::string_view token) const;

  // Every token that begins at byte `start` of the all-ASCII `text`, shortest
  // first, bounded by `max_subword_len`. Replaces the contents of `out`.
  void common_prefix_search_ascii(std::string_view text, size_t start,
                                  std::vector<PrefixMatch>& out) const;

  // The same over a decoded text of `n` code points, from index `start`.
  void common_prefix_search_chars(const char32_t* chars, size_t n, size_t start,
                                  std::vector<PrefixMatch>& out) const;

  // The same over valid UTF-8 text from byte `start`, decoding characters as
  // it walks; lengths count characters.
  void common_prefix_search_utf8(std::string_view text, size_t start,
                                 std::vector<PrefixMatch>& out) const;

  std::optional<uint64_t> max_subword_len() const noexcept { return max_subword_len_; }
  void set_max_subword_len(std::optional<uint64_t> limit) noexcept { max_subword_len_ = limit; }

  // The cache shared by every decode over this trie (see seg_cache.h).
  SegCache& seg_cache() const noexcept { return *seg_cache_; }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr int kInlineAscii = 6;

  struct TrieNode {
    uint32_t token_index = kNone;  // into tokens_; set exactly at terminal nodes
    uint32_t token_id = 0;
    uint32_t ascii_table = kNone;  // into ascii_tables_ (128 slots per node)
    uint32_t wide_map = kNone;     // into wide_maps_
    uint32_t ascii_kids[kInlineAscii];
    uint8_t ascii_keys[kInlineAscii];
    uint8_t ascii_count = 0;
    bool has_id = false;
    bool is_end = false;
    double log_p = 0.0;
  };

  using WideMap = boost::unordered_flat_map<char32_t, uint32_t, SeededCharHash>;

  explicit RustPrefixTrie(size_t cache_entries);

  uint32_t child_ascii(const TrieNode& node, unsigned char c) const noexcept {
    if (node.ascii_table != kNone) return ascii_tables_[size_t{node.ascii_table} * 128 + c];
    for (int i = 0; i < node.ascii_count; ++i) {
      if (node.ascii_keys[i] == c) return node.ascii_kids[i];
    }
    return kNone;
  }
  uint32_t child(const TrieNode& node, char32_t c) const noexcept {
    if (c < 0x80) return child_ascii(node, static_cast<unsigned char>(c));
    if (node.wide_map == kNone) return kNone;
    const WideMap& map = wide_maps_[node.wide_map];
    auto it = map.find(c);
    return it == map.end() ? kNone : it->second;
  }
  uint32_t child_or_create(uint32_t node, char32_t c);
  void add_match(const TrieNode& node, size_t depth, std::vector<PrefixMatch>& out) const;
  size_t depth_limit() const noexcept {
    return max_subword_len_ ? static_cast<size_t>(*max_subword_len_) : SIZE_MAX;
  }

  std::optional<uint64_t> max_subword_len_;
  std::vector<TrieNode> nodes_;  // nodes_[0] is the root
  std::vector<std::string> tokens_;
  std::vector<uint32_t> ascii_tables_;
  std::vector<WideMap> wide_maps_;
  SeedStream seeds_;
  std::shared_ptr<SegCache> seg_cache_;
};

}  // namespace brindlore
