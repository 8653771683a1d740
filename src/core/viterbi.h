// The lattice decoder: the most probable segmentation of one piece of text
// into vocabulary tokens, with byte fallback where no token starts and an
// optional top-k pruning of each position's incoming edges; the cached decode
// over the trie's segmentation cache; and the lattice timing diagnostic.
//
// All functions are reentrant and only read the trie, so any number of threads
// may decode with one trie at once as long as nobody changes it. Each thread
// keeps one scratch lattice that is reused from call to call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/seg_cache.h"
#include "core/seg_front_cache.h"
#include "core/trie.h"

namespace brindlore {

// Score of a byte piece that is not in the vocabulary.
inline constexpr double kUnknownBytePieceScore = -10.0;

// The byte piece text of `byte`: "<0x" + two upper-case hex digits + ">".
std::string byte_piece(unsigned char byte);

// Decodes an all-ASCII `text` (the caller guarantees every byte < 0x80), as
// `viterbi_decode` does. `max_edges_per_node` absent means no pruning; 0 is not allowed (callers
// refuse it). Fails only with the disconnection or missing-backpointer
// messages. The result owns copies of the token texts; `decode_piece` gives
// the compact form.
Result<std::vector<ViterbiSpan>> viterbi_decode_ascii(std::string_view text,
                                                      const RustPrefixTrie& trie,
                                                      bool byte_fallback,
                                                      std::optional<uint64_t> max_edges_per_node);

// The same over a text given as its code points.
Result<std::vector<ViterbiSpan>> viterbi_decode_chars(std::span<const char32_t> chars,
                                                      const RustPrefixTrie& trie,
                                                      bool byte_fallback,
                                                      std::optional<uint64_t> max_edges_per_node);

// The same for valid UTF-8 `text`.
Result<std::vector<ViterbiSpan>> viterbi_decode(std::string_view text, const RustPrefixTrie& trie,
                                                bool byte_fallback,
                                                std::optional<uint64_t> max_edges_per_node);

// The unpruned decode of one piece through the trie's cache: pieces of 1 to
// 1024 bytes are looked up and, once decoded, stored as the cache's policy
// allows (seg_cache.h); the decode runs outside the cache's lock. An empty
// piece gives an empty segmentation without touching the cache. Errors are
// the decoder's and are never stored. Pieces the calling thread has seen under
// the cache's current generation come from its front cache
// (seg_front_cache.h) without any lock.
Result<SegmentationRef> decode_cached(std::string_view text, const RustPrefixTrie& trie,
                                      bool byte_fallback);

// The same without a reference of the caller's own, so that a hit writes no
// memory that other threads share: the ids when they are few, and the spans
// when `need_segmentation` or when they are not; valid until the calling
// thread's next cached decode (of any piece, with any trie). A miss decodes
// into the thread's own buffer and allocates nothing.
Result<CachedPiece> decode_cached_here(std::string_view text, const RustPrefixTrie& trie,
                                       bool byte_fallback, bool need_segmentation);

// The memory a thread's decodes reuse (the lattice's arrays).
class LatticeMemory;

// The calling thread's lattice memory. Finding it is a call into the
// thread-local resolver of a shared library, so callers that decode many
// pieces find it once and hand it to `decode_cached_here`.
LatticeMemory& lattice_memory();

// The same for a key made by `trie.seg_cache().probe(byte_fallback, text)`,
// the calling thread's `FrontCache::of_this_thread()` and `lattice_memory()`,
// for callers that decode many pieces: they hash the pieces of a text ahead of
// decoding them (and can `front.prefetch` the next ones) and find their
// thread's tables once. An id caller (`need_segmentation` false) asks
// `SharedIdFront` itself first and comes here only on a miss, which is not
// asked again.
Result<CachedPiece> decode_cached_here(const SegCache::Probe& key, const RustPrefixTrie& trie,
                                       bool need_segmentation, FrontCache& front,
                                       LatticeMemory& memory);

// The per-text work of the decode functions: `decode_cached` without a limit,
// else a pruned decode that bypasses the cache.
Result<SegmentationRef> decode_piece(std::string_view text, const RustPrefixTrie& trie,
                                     bool byte_fallback,
                                     std::optional<uint64_t> max_edges_per_node);

// Appends the ids of a cached decode to `out`: the inline ids when it has
// them, else those of its segmentation. A span without an id takes
// `missing_id` when given; without it, the first such span fails with
// "<prefix>decoded token \"...\" has no integer ID" (`out` then holds the ids
// before that span). `trie` is the one that decoded the piece.
Status append_ids(const CachedPiece& piece, const RustPrefixTrie& trie, std::string_view prefix,
                  std::vector<uint32_t>& out, std::optional<uint32_t> missing_id = std::nullopt);

// The missing-id error for `span`, naming its text.
CoreError missing_id_error(const CachedSpan& span, const RustPrefixTrie& trie,
                           std::string_view prefix);

// Readable copies of the segmentation's spans, in order, over the trie that
// decoded it.
std::vector<ViterbiSpan> spans_from_cached(const CachedSegmentation& segmentation,
                                           const RustPrefixTrie& trie);

// What the lattice timing diagnostic measures for one text.
struct LatticeDiagnostic {
  double lookup_seconds = 0.0;  // summed duration of the prefix searches
  double dp_seconds = 0.0;      // duration of the forward pass
  size_t edge_count = 0;        // edges put into the lattice
  size_t node_count = 0;        // characters + 1
};

// Builds the lattice of valid UTF-8 `text` over its code points (always, also
// for ASCII text) and runs the forward pass, without cache, pruning or
// backtrace; an unreachable end is not an error.
LatticeDiagnostic diagnose_lattice(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback);

}  // namespace brindlore
