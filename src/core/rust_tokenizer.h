// The tokenizer object of the module `rust_tokenizer` (a vocabulary trie with
// its space character and byte-fallback switch, encoding without the fused
// encoders' gate) and the per-stage timing diagnostic of the encode pipeline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/trie.h"

namespace brindlore {

// One vocabulary entry as the host passes it. The token text is borrowed from
// the caller for the duration of the call that takes it.
struct VocabEntry {
  std::string_view token;
  double score = 0.0;
  uint32_t id = 0;
};

// Inserts the entries into `trie` in order and stops at the first that
// `insert_token` refuses, returning its message; the entries before it stay.
// An empty trie for a tokenizer, its cache sized by `RustTokenizer::kCacheLimits`.
RustPrefixTrie make_tokenizer_trie();

Status insert_entries(RustPrefixTrie& trie, std::span<const VocabEntry> entries);

// Thread safety: the encode members are const and may run on any number of
// threads at once; `replace_vocab` needs exclusive use, which the caller
// enforces.
class RustTokenizer {
 public:
  // The tokenizer's cache is never seen from outside, so it is not held to
  // the rules of a trie's own cache: it keeps the pieces that repeat instead
  // of emptying itself when full (see seg_cache.h), within 524,288 pieces and
  // 53 MiB in all, index included (brindlore.h and the README, "Memory",
  // quote both figures).
  static constexpr SegCache::Limits kCacheLimits{SegCache::Policy::kKeepRepeats, size_t{1} << 19,
                                                 size_t{53} << 20};

  // A tokenizer over `entries`, or the message of the first refused entry
  // (nothing is built then). `space_char` is not checked here: a reserved one
  // makes every later encode fail with the normalizer's message.
  static Result<RustTokenizer> build(std::span<const VocabEntry> entries, char32_t space_char,
                                     bool byte_fallback);

  // Replaces the trie (and with it the cache) by a new one holding `entries`.
  // On a refused entry nothing changes and the entry's message is returned.
  Status replace_vocab(std::span<const VocabEntry> entries);

  // The text encode with the fixed switches (Unicode and space normalization
  // only) and no gate: every text is encoded. The id encode words a missing id
  // "decoded token <quoted> has no integer ID".
  Result<std::vector<std::string>> encode(std::string_view text) const;
  Result<std::vector<uint32_t>> encode_ids(std::string_view text) const;
  // `encode_ids` appending to `out` (which may hold part of the ids on
  // failure), reusing per-thread buffers from text to text.
  Status encode_ids_into(std::string_view text, std::vector<uint32_t>& out) const;

  const RustPrefixTrie& trie() const noexcept { return trie_; }
  char32_t space_char() const noexcept { return space_char_; }
  bool byte_fallback() const noexcept { return byte_fallback_; }

 private:
  RustTokenizer(RustPrefixTrie trie, char32_t space_char, bool byte_fallback)
      : trie_(std::move(trie)), space_char_(space_char), byte_fallback_(byte_fallback) {}

  RustPrefixTrie trie_;
  char32_t space_char_;
  bool byte_fallback_;
};

// ---- Pipeline timing diagnostic ----

// Seconds per stage and counts, summed over the texts of one batch.
struct PipelineTimings {
  double norm = 0.0;     // normalize_inner
  double pre = 0.0;      // enumerating and collecting the full pattern's matches
  double viterbi = 0.0;  // decoding (with the code-point conversion of non-ASCII pieces)
  double alloc = 0.0;    // copying each piece's token texts into a list and dropping it
  size_t chunks = 0;     // pieces
  size_t tokens = 0;     // decoded spans
  size_t states = 0;     // sum of (characters + 1) over the pieces
};

// Runs valid UTF-8 `text` through the stages, adding to `sums`: normalization
// with U+2581 and the default switches, the full pattern's matches (not
// snapped), the uncached, unpruned decode of each piece. Fails with the first
// stage's message; `sums` may then hold part of the text. Thread-safe.
Status diagnose_pipeline_text(std::string_view text, const RustPrefixTrie& trie, bool byte_fallback,
                              PipelineTimings& sums);

}  // namespace brindlore
