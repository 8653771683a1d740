// The vocabulary as a prefix trie: every token with its optional id and
// natural-log probability, plus the word-level segmentation cache that
// belongs to the vocabulary.
//
// Tokens live in a token table indexed by a token index: the texts in one
// array, and score, id and character count together in a 16-byte record, so
// that a decode reading them for a match costs one cache line however large
// the vocabulary. The table only grows; re-inserting a token updates its id
// and score in place, so an index keeps naming the same text for the trie's
// whole life, and a cached segmentation can hold indexes instead of strings.
//
// Layout: the trie is walked over the UTF-8 bytes of the tokens, so every
// step is a byte lookup, ASCII or not, and nothing is ever hashed. All nodes
// live in one vector and refer to each other by index; a node keeps up to
// eight children in inline slots searched eight at a time in one word, and
// moves them to a 256-entry table when it has more. Searches count depth and
// lengths in characters (a UTF-8 lead byte starts a character), so the
// results are those of a trie with one node per character.
//
// Once a trie has been searched about as many times as it has nodes since
// its last change (or at once, through `prepare_for_search`), searches switch
// to a compact double-array copy of it (see double_array.h) that stays in the
// cache where the node vector does not: in 4-byte units while its fields fit
// them, else in 8-byte units. Inserting drops the copy. A trie too large for
// either keeps the node walk, and the copy is not tried again before the next
// change.
//
// Thread safety: any number of threads may search and look up at once; the
// mutating members (`insert_token`, `set_max_subword_len`) need exclusive use,
// which the callers enforce. The cache has its own lock.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/double_array.h"
#include "core/error.h"
#include "core/fork_guard.h"
#include "core/seg_cache.h"

namespace brindlore {

// One prefix-search match: the token's index in the trie's token table (see
// `token_text`, `token_id`), its score and its length in characters.
struct PrefixMatch {
  double log_p;
  uint32_t token;
  size_t length;
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

  // The largest base or token index the compact form may hold in its narrow
  // (4-byte) and in its wide (8-byte) units; values above a width's own reach
  // count as that reach. Only tests lower them, to reach the wide form and the
  // node walk with small tries.
  struct CompactLimits {
    uint64_t narrow = DoubleArray<uint32_t>::kMaxField;
    uint64_t wide = DoubleArray<uint64_t>::kMaxField;
  };
  // An empty trie like `RustPrefixTrie()` whose compact form keeps `limits`.
  explicit RustPrefixTrie(CompactLimits limits);

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

  // Every token that begins at byte `start` of valid UTF-8 `text`, shortest
  // first, bounded by `max_subword_len`; lengths count characters. Replaces
  // the contents of `out`.
  void common_prefix_search_utf8(std::string_view text, size_t start,
                                 std::vector<PrefixMatch>& out) const;

  // The same over a decoded text of `n` code points, from index `start`.
  void common_prefix_search_chars(const char32_t* chars, size_t n, size_t start,
                                  std::vector<PrefixMatch>& out) const;

  // Calls `visit(const PrefixMatch&)` for every match that
  // `common_prefix_search_utf8` would list, in the same order, without
  // collecting them; returns whether there was any.
  template <typename Visit>
  bool visit_prefixes_utf8(std::string_view text, size_t start, Visit&& visit) const;

  // Calls `f(search)` with the search that serves the trie now and returns
  // what `f` returns, for callers that search many positions of one text: the
  // form is resolved once, and `search(text, start, end, visit)` then walks
  // the bytes `text[start..end)` of valid UTF-8 and calls `visit(const
  // PrefixMatch&)` as `visit_prefixes_utf8` does (returning whether it did).
  // `searches` is how many searches the caller will run, which count toward
  // building the compact form. `search` is valid while the trie is unchanged.
  template <typename F>
  decltype(auto) with_prefix_search(size_t searches, F&& f) const;

  // Builds the compact search form now instead of after enough searches; for
  // builders that know the vocabulary is complete. Thread-safe.
  void prepare_for_search() const;

  // The token table. `index` comes from a search or `token_index`; the text
  // of an index never changes, its id and score change when the token is
  // inserted again.
  const std::string& token_text(uint32_t index) const noexcept { return tokens_[index]; }
  std::optional<uint32_t> token_id(uint32_t index) const noexcept {
    const TokenRecord& r = records_[index];
    return r.chars & kHasId ? std::optional<uint32_t>(r.id) : std::nullopt;
  }
  double token_log_p(uint32_t index) const noexcept { return records_[index].log_p; }
  // Length of the token's text in characters.
  size_t token_chars(uint32_t index) const noexcept {
    const uint32_t stored = records_[index].chars & ~kHasId;
    return stored != kManyChars ? stored : count_token_chars(index);
  }
  size_t token_count() const noexcept { return tokens_.size(); }
  // The index of an inserted token, or kNoToken.
  uint32_t token_index(std::string_view token) const noexcept;
  static constexpr uint32_t kNoToken = 0xFFFFFFFFu;

  // A byte piece ("<0x00>" to "<0xFF>", upper-case hex) as the vocabulary
  // holds it: its token index (kNoToken when absent, the other two fields
  // then unset), score and id. Kept current by `insert_token`, so that byte
  // fallback reads a table instead of searching the trie.
  struct BytePiece {
    double log_p = 0.0;
    uint32_t token = kNoToken;
    std::optional<uint32_t> id;
  };
  const BytePiece& byte_piece(unsigned char byte) const noexcept { return byte_pieces_[byte]; }

  // What serves the searches now, for tests and benchmarks: the node walk
  // (before the compact form is due, or for good once its build failed) or
  // the compact form in narrow or wide units; the compact form's bytes; and
  // the builds tried since the last change (never more than one).
  enum class SearchForm : uint8_t { kNodeWalk, kNarrow, kWide };
  struct SearchFormInfo {
    SearchForm form;
    size_t compact_bytes;
    uint32_t builds;
  };
  SearchFormInfo search_form() const noexcept;

  std::optional<uint64_t> max_subword_len() const noexcept { return max_subword_len_; }
  void set_max_subword_len(std::optional<uint64_t> limit) noexcept {
    max_subword_len_ = limit;
    seg_cache_->invalidate_front_caches();
  }

  // The cache shared by every decode over this trie (see seg_cache.h).
  SegCache& seg_cache() const noexcept { return *seg_cache_; }

 private:
  struct NodeCursor;
  template <typename Unit>
  struct CompactSearch;
  struct NodeSearch;

  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  static constexpr unsigned kInline = 8;
  static constexpr uint64_t kOnes = 0x0101010101010101ULL;
  static constexpr uint64_t kHighs = 0x8080808080808080ULL;

  // A token's score, id and character count; `chars` holds the count
  // (kManyChars for a count that does not fit) and the kHasId flag.
  struct TokenRecord {
    double log_p = 0.0;
    uint32_t id = 0;
    uint32_t chars = 0;
  };
  static constexpr uint32_t kHasId = 0x80000000u;
  static constexpr uint32_t kManyChars = 0x7FFFFFFFu;

  struct TrieNode {
    uint64_t keys = 0;  // byte i is the key of inline child i
    uint32_t kids[kInline];
    uint32_t table = kNone;        // into tables_ (256 slots) once inline slots run out
    uint32_t token_index = kNone;  // into the token table; set exactly at terminal nodes
    uint8_t count = 0;             // inline children in use
  };

  // Exactly one of the two is built.
  struct CompactForm {
    DoubleArray<uint32_t> narrow;
    DoubleArray<uint64_t> wide;
    // A bit per code point of the Basic Multilingual Plane, set when a token
    // starts with it: a search from a character no token starts with ends
    // before its walk, which for characters of a script the vocabulary lacks
    // would take a load per byte.
    std::array<uint64_t, 0x10000 / 64> first_chars{};

    bool may_start(const unsigned char* text) const noexcept {
      const unsigned lead = text[0];
      if (lead < 0xC0 || lead >= 0xF0) return true;  // ASCII, or beyond the plane
      const char32_t cp = lead < 0xE0 ? ((lead & 0x1Fu) << 6) | (text[1] & 0x3Fu)
                                      : ((lead & 0x0Fu) << 12) | ((text[1] & 0x3Fu) << 6) |
                                            (text[2] & 0x3Fu);
      return (first_chars[cp >> 6] >> (cp & 63) & 1) != 0;
    }
  };
  // Builds the compact form lazily, at most once per change; heap-held so
  // that the trie stays movable. A build holds the mutex for as long as it
  // runs, so a fork takes it first (see fork_guard.h).
  struct CompactCell final : private ForkHooks {
    explicit CompactCell(CompactLimits limits) noexcept;
    void reset() noexcept;

    const CompactLimits limits;
    std::mutex mutex;
    std::atomic<const CompactForm*> form{nullptr};
    std::unique_ptr<const CompactForm> owned;
    std::atomic<uint64_t> searches{0};
    std::atomic<bool> failed{false};  // the build since the last change failed
    std::atomic<uint32_t> builds{0};

   private:
    void before_fork() noexcept override { mutex.lock(); }
    void after_fork_in_parent() noexcept override { mutex.unlock(); }
    void after_fork_in_child() noexcept override { mutex.unlock(); }

    ForkRegistration fork_registration_{*this};  // last: registered only while whole
  };

  RustPrefixTrie(size_t cache_entries, CompactLimits limits);

  size_t count_token_chars(uint32_t index) const noexcept;

  // The compact form when it exists or is due after `searches` more
  // searches; null while the node walk is still the cheaper choice.
  const CompactForm* compact(size_t searches = 1) const;
  // Builds the compact form unless it exists or its build failed. With
  // `wait` false, a thread that finds another one building returns null and
  // keeps the node walk instead of waiting for the build.
  const CompactForm* build_compact(bool wait) const;

  uint32_t child(const TrieNode& node, unsigned char byte) const noexcept {
    if (node.table != kNone) return tables_[size_t{node.table} * 256 + byte];
    // Finds the byte among the inline keys with one word of arithmetic: the
    // lowest zero byte of keys ^ broadcast(byte) marks the first equal key.
    const uint64_t x = node.keys ^ (kOnes * byte);
    uint64_t hit = (x - kOnes) & ~x & kHighs;
    if (node.count < kInline) hit &= (uint64_t{1} << (8 * node.count)) - 1;
    if (hit == 0) return kNone;
    return node.kids[std::countr_zero(hit) >> 3];
  }
  uint32_t child_or_create(uint32_t node, unsigned char byte);
  void add_match(uint32_t token, size_t depth, std::vector<PrefixMatch>& out) const {
    out.push_back(PrefixMatch{records_[token].log_p, token, depth});
  }
  size_t depth_limit() const noexcept {
    return max_subword_len_ ? static_cast<size_t>(*max_subword_len_) : SIZE_MAX;
  }

  std::optional<uint64_t> max_subword_len_;
  std::vector<TrieNode> nodes_;  // nodes_[0] is the root
  // The token table, indexed by token index.
  std::vector<std::string> tokens_;
  std::vector<TokenRecord> records_;
  std::vector<uint32_t> tables_;
  std::array<BytePiece, 256> byte_pieces_{};
  std::unique_ptr<CompactCell> compact_;
  std::shared_ptr<SegCache> seg_cache_;
};

// The compact form's search: the double array's walk, with the scores read
// from the token table.
template <typename Unit>
struct RustPrefixTrie::CompactSearch {
  const CompactForm& form;
  const DoubleArray<Unit>& states;
  const TokenRecord* records;
  size_t limit;

  template <typename Visit>
  bool operator()(const unsigned char* text, size_t start, size_t end, Visit&& visit) const {
    if (start >= end || !form.may_start(text + start)) return false;
    return states.walk(text, start, end, limit, [&](uint32_t token, size_t depth) {
      visit(PrefixMatch{records[token].log_p, token, depth});
    });
  }
};

// The node walk's search, for tries without a compact form.
struct RustPrefixTrie::NodeSearch {
  const RustPrefixTrie& trie;
  size_t limit;

  template <typename Visit>
  bool operator()(const unsigned char* text, size_t start, size_t end, Visit&& visit) const {
    bool found = false;
    size_t depth = 0;
    uint32_t node = 0;
    for (size_t pos = start; pos < end; ++pos) {
      const unsigned char byte = text[pos];
      depth += (byte & 0xC0) != 0x80;  // a character starts here
      if (depth > limit) break;
      node = trie.child(trie.nodes_[node], byte);
      if (node == kNone) break;
      // Only the last byte of a token's last character can end at a
      // terminal, so a match is always reported with its character count
      // complete.
      if (const uint32_t token = trie.nodes_[node].token_index; token != kNone) {
        found = true;
        visit(PrefixMatch{trie.records_[token].log_p, token, depth});
      }
    }
    return found;
  }
};

template <typename F>
decltype(auto) RustPrefixTrie::with_prefix_search(size_t searches, F&& f) const {
  const size_t limit = depth_limit();
  if (const CompactForm* form = compact(searches)) {
    if (!form->narrow.empty()) {
      return f(CompactSearch<uint32_t>{*form, form->narrow, records_.data(), limit});
    }
    return f(CompactSearch<uint64_t>{*form, form->wide, records_.data(), limit});
  }
  return f(NodeSearch{*this, limit});
}

template <typename Visit>
bool RustPrefixTrie::visit_prefixes_utf8(std::string_view text, size_t start, Visit&& visit) const {
  return with_prefix_search(1, [&](const auto& search) {
    return search(reinterpret_cast<const unsigned char*>(text.data()), start, text.size(), visit);
  });
}

}  // namespace brindlore
