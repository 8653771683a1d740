#include "core/viterbi.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/debug_quote.h"
#include "core/thread_locals.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

constexpr double kUnreached = -std::numeric_limits<double>::infinity();

// Text views the decoder walks: byte positions of ASCII text, or code points.
// `visit(trie, i, f, scratch)` calls f on each match at position i, shortest
// first, and returns whether there was any.
struct AsciiText {
  std::string_view text;
  size_t size() const noexcept { return text.size(); }
  char32_t at(size_t i) const noexcept { return static_cast<unsigned char>(text[i]); }
  template <typename F>
  bool visit(const RustPrefixTrie& trie, size_t i, F&& f, std::vector<PrefixMatch>&) const {
    return trie.visit_prefixes_utf8(text, i, f);
  }
};

struct CharText {
  std::span<const char32_t> chars;
  size_t size() const noexcept { return chars.size(); }
  char32_t at(size_t i) const noexcept { return chars[i]; }
  void search(const RustPrefixTrie& trie, size_t i, std::vector<PrefixMatch>& out) const {
    trie.common_prefix_search_chars(chars.data(), chars.size(), i, out);
  }
  template <typename F>
  bool visit(const RustPrefixTrie& trie, size_t i, F&& f,
             std::vector<PrefixMatch>& scratch) const {
    search(trie, i, scratch);
    for (const PrefixMatch& m : scratch) f(m);
    return !scratch.empty();
  }
};

// Valid UTF-8 text addressed by character index, through a cursor that
// steps one character at a time to the index asked for. The decoder asks in
// ascending order (forward pass) and then in descending order (backtrace), so
// the cursor moves over each byte a bounded number of times, and the text
// needs no code-point or offset array beside it.
class Utf8Text {
 public:
  explicit Utf8Text(std::string_view text) : text_(text), size_(utf8::count_chars(text)) {}
  size_t size() const noexcept { return size_; }
  char32_t at(size_t i) const noexcept { return utf8::decode_at(text_, seek(i)); }
  template <typename F>
  bool visit(const RustPrefixTrie& trie, size_t i, F&& f, std::vector<PrefixMatch>&) const {
    return trie.visit_prefixes_utf8(text_, seek(i), f);
  }

 private:
  // The byte offset of character `i`.
  size_t seek(size_t i) const noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text_.data());
    for (; char_ < i; ++char_) byte_ += utf8::sequence_length(s[byte_]);
    for (; char_ > i; --char_) {
      do --byte_;
      while ((s[byte_] & 0xC0) == 0x80);
    }
    return byte_;
  }

  std::string_view text_;
  size_t size_;
  mutable size_t char_ = 0, byte_ = 0;  // the cursor: a character and its offset
};

// What an edge emits: a vocabulary token's index in the trie's token table,
// or kFallback for the byte pieces of the character at the edge's start.
// kNoEdge marks a position no edge has reached yet.
constexpr uint32_t kFallback = 0xFFFFFFFEu;
constexpr uint32_t kNoEdge = 0xFFFFFFFFu;

struct Edge {
  size_t start;
  size_t length;
  double log_p;
  uint32_t emit;
};

// The lattice's positions 0..n as two parallel arrays: the best path score
// into each position and what the best incoming edge emits. The edge's length
// follows from what it emits (a token's length in characters, or 1 for byte
// fallback), so that is the back-pointer: 12 bytes per position.
struct Nodes {
  double* score;
  uint32_t* emit;

  void relax(size_t to, double from_score, double log_p, uint32_t what) const noexcept {
    const double candidate = from_score + log_p;
    if (candidate > score[to]) {
      score[to] = candidate;
      emit[to] = what;
    }
  }
};

// The unpruned UTF-8 decode's positions 0..n, one record each, so that
// relaxing an edge writes one line: the best path score into the position,
// what the best incoming edge emits (the back-pointer, as in Nodes) and the
// position's byte offset.
struct LatticePosition {
  double score;
  uint32_t emit;
  uint32_t offset;

  void relax(double from_score, double log_p, uint32_t what) noexcept {
    const double candidate = from_score + log_p;
    if (candidate > score) {
      score = candidate;
      emit = what;
    }
  }
};

}  // namespace

// The longest text, in bytes, that the unpruned UTF-8 decode takes: it needs
// 16 bytes per byte of text and 8 more for the spans it writes from the back,
// where the decoders over a text view need 12 per character and write the
// spans in place, which matters for one very long piece.
constexpr size_t kMaxUtf8DecodeBytes = size_t{1} << 15;

// Per-thread scratch memory, reused from call to call so that a decode
// allocates only its result.
class LatticeMemory {
 public:
  std::vector<PrefixMatch> matches;
  std::vector<double> scores;  // per position (see Nodes)
  std::vector<uint32_t> emits;
  std::vector<Edge> edges;
  std::vector<size_t> order;        // edge indices grouped by end position
  std::vector<size_t> group_begin;  // per end position, into `order`
  std::vector<size_t> group_end;
  std::vector<std::vector<Edge>> ring;  // pruned decode: pending edges by end (see PendingEdges)

  // Room for `n` positions of the UTF-8 decode, uninitialized.
  LatticePosition* positions(size_t n) {
    if (n > position_room_) {
      positions_ = std::make_unique_for_overwrite<LatticePosition[]>(n);
      position_room_ = n;
    }
    return positions_.get();
  }
  // Room for `n` spans, uninitialized, which the UTF-8 decode's backtrace
  // writes from the back.
  CachedSpan* backward(size_t n) {
    if (n > backward_room_) {
      backward_ = std::make_unique_for_overwrite<CachedSpan[]>(n);
      backward_room_ = n;
    }
    return backward_.get();
  }

  // Gives back memory after an unusually long text. (The UTF-8 decode's
  // rooms stay small: longer texts take the other decoders.)
  void trim() {
    if (scores.capacity() > kKeep) scores = {}, emits = {};
    if (edges.capacity() > kKeep) edges = {};
    if (order.capacity() > kKeep) order = {}, group_begin = {}, group_end = {};
    for (std::vector<Edge>& bucket : ring) {
      if (bucket.capacity() > kKeep) bucket = {};
    }
  }

 private:
  static constexpr size_t kKeep = size_t{1} << 16;

  std::unique_ptr<LatticePosition[]> positions_;
  size_t position_room_ = 0;
  std::unique_ptr<CachedSpan[]> backward_;
  size_t backward_room_ = 0;
};

LatticeMemory& lattice_memory() {
  return ThreadLocal<LatticeMemory>::get();
}

const ThreadLocalMaker kMakesLatticeMemory([] { lattice_memory(); });

namespace {

// The score of the byte-fallback edge of the character whose UTF-8 form is
// `bytes[0..count)`: its byte pieces' scores, summed in byte order from 0.0.
double fallback_score(const RustPrefixTrie& trie, const unsigned char* bytes, size_t count) {
  double sum = 0.0;
  for (size_t b = 0; b < count; ++b) {
    const RustPrefixTrie::BytePiece& piece = trie.byte_piece(bytes[b]);
    sum += piece.token != RustPrefixTrie::kNoToken ? piece.log_p : kUnknownBytePieceScore;
  }
  return sum;
}

double fallback_score(const RustPrefixTrie& trie, char32_t cp) {
  char bytes[4];
  const size_t count = utf8::encode(cp, bytes);
  return fallback_score(trie, reinterpret_cast<const unsigned char*>(bytes), count);
}

// The id of the byte piece of `byte`: the vocabulary's, if it holds the piece.
std::optional<uint32_t> byte_piece_id(const RustPrefixTrie& trie, unsigned char byte) {
  return trie.byte_piece(byte).id;
}

Nodes reset_nodes(LatticeMemory& ws, size_t n) {
  ws.scores.assign(n + 1, kUnreached);
  ws.emits.assign(n + 1, kNoEdge);
  ws.scores[0] = 0.0;
  return Nodes{ws.scores.data(), ws.emits.data()};
}

// The unpruned forward pass, fused with edge building: edges are relaxed as
// they are found, start by start. Node i is final when its own edges go out
// (every edge into it starts earlier), and each end position receives its
// candidates in ascending start order, which is the order the per-end edge
// lists would hold, so the result is that of building the lattice first.
//
// This one walks the UTF-8 bytes of the text (ASCII or not) with the trie's
// search resolved once for the whole text, over `LatticePosition`s, which
// keep each position's byte offset for the backtrace. `positions` has room
// for a position per byte and one more, since the characters are counted on
// the way; returns their number.
size_t forward_unpruned_utf8(std::string_view text, const RustPrefixTrie& trie, bool byte_fallback,
                             LatticePosition* positions) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  for (size_t i = 0; i <= size; ++i) positions[i].score = kUnreached;
  positions[0].score = 0.0;
  // A search per character, counted as one per byte: the characters are not
  // counted yet.
  return trie.with_prefix_search(size, [&](const auto& search) {
    size_t i = 0;  // the character that starts at byte `at`
    for (size_t at = 0; at < size; ++i) {
      positions[i].offset = static_cast<uint32_t>(at);
      const size_t length = utf8::sequence_length(bytes[at]);
      // Every edge out of an unreached position would be skipped, whether it
      // is a vocabulary or a fallback edge, so its search can be skipped too.
      const double from = positions[i].score;
      if (from != kUnreached) {
        const bool found = search(bytes, at, size, [&](const PrefixMatch& m) {
          positions[i + m.length].relax(from, m.log_p, m.token);
        });
        if (!found && byte_fallback) {
          positions[i + 1].relax(from, fallback_score(trie, bytes + at, length), kFallback);
        }
      }
      at += length;
    }
    positions[i].offset = static_cast<uint32_t>(size);
    return i;
  });
}

// The same over any text view, one search per position.
template <typename Text>
void forward_unpruned(const Text& text, const RustPrefixTrie& trie, bool byte_fallback,
                      LatticeMemory& ws) {
  const size_t n = text.size();
  const Nodes nodes = reset_nodes(ws, n);
  for (size_t i = 0; i < n; ++i) {
    // Every edge out of an unreached position would be skipped, whether it
    // is a vocabulary or a fallback edge, so its search can be skipped too.
    const double from = nodes.score[i];
    if (from == kUnreached) continue;
    const bool found = text.visit(
        trie, i,
        [&](const PrefixMatch& m) { nodes.relax(i + m.length, from, m.log_p, m.token); },
        ws.matches);
    if (!found && byte_fallback) {
      nodes.relax(i + 1, from, fallback_score(trie, text.at(i)), kFallback);
    }
  }
}

// Builds every edge of the lattice in ascending start order; `timed_search`
// runs each prefix search (so the diagnostic can time them).
template <typename Text, typename Search>
void build_edges(const Text& text, const RustPrefixTrie& trie, bool byte_fallback,
                 LatticeMemory& ws, Search&& timed_search) {
  ws.edges.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    timed_search(i);
    if (ws.matches.empty()) {
      if (byte_fallback) {
        ws.edges.push_back(Edge{i, 1, fallback_score(trie, text.at(i)), kFallback});
      }
      continue;
    }
    for (const PrefixMatch& m : ws.matches) {
      ws.edges.push_back(Edge{i, m.length, m.log_p, m.token});
    }
  }
}

// Files the edges under their end positions, keeping ascending start order in
// each list (a stable counting sort).
void group_by_end(LatticeMemory& ws, size_t n) {
  ws.group_begin.assign(n + 2, 0);
  for (const Edge& e : ws.edges) ++ws.group_begin[e.start + e.length + 1];
  for (size_t p = 1; p < n + 2; ++p) ws.group_begin[p] += ws.group_begin[p - 1];
  // The ends double as write cursors; once every edge is placed, end e sits
  // where group e + 1 begins.
  const auto first = ws.group_begin.begin();
  ws.group_end.assign(first, first + static_cast<ptrdiff_t>(n + 1));
  ws.order.resize(ws.edges.size());
  for (size_t k = 0; k < ws.edges.size(); ++k) {
    const Edge& e = ws.edges[k];
    ws.order[ws.group_end[e.start + e.length]++] = k;
  }
}

// Maps a double to an integer whose order is the IEEE-754 total order
// (so +0.0 ranks above -0.0).
inline int64_t total_order_key(double x) noexcept {
  int64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

// Keeps the k edges of highest own score, stable among equals. The lists are
// short (one edge per token length at most), so insertion sort does, without
// allocating, up to a size where a merge sort is cheaper.
void prune_list(std::vector<Edge>& edges, uint64_t k) {
  if (edges.size() <= k) return;
  auto higher = [](const Edge& a, const Edge& b) {
    return total_order_key(a.log_p) > total_order_key(b.log_p);
  };
  if (edges.size() <= 64) {
    for (size_t i = 1; i < edges.size(); ++i) {
      Edge moving = edges[i];
      size_t j = i;
      for (; j > 0 && higher(moving, edges[j - 1]); --j) edges[j] = edges[j - 1];
      edges[j] = moving;
    }
  } else {
    std::stable_sort(edges.begin(), edges.end(), higher);
  }
  edges.resize(static_cast<size_t>(k));
}

// The edge lists of the end positions ahead of the decoder, in a ring indexed
// by end modulo its size. The ring is always larger than the longest edge
// seen, so the pending ends (at most that far ahead) never share a list, and
// the memory is bounded by the longest token, not by the text.
class PendingEdges {
 public:
  explicit PendingEdges(std::vector<std::vector<Edge>>& ring) : ring_(ring) {
    if (ring_.size() < kInitial) ring_.resize(kInitial);
    for (std::vector<Edge>& bucket : ring_) bucket.clear();
  }

  void add(const Edge& edge) {
    if (edge.length >= ring_.size()) grow(edge.length + 1);
    ring_[(edge.start + edge.length) & (ring_.size() - 1)].push_back(edge);
  }

  std::vector<Edge>& ending_at(size_t end) { return ring_[end & (ring_.size() - 1)]; }

 private:
  static constexpr size_t kInitial = 64;  // a power of two, as every size

  void grow(size_t at_least) {
    size_t size = ring_.size();
    while (size < at_least) size *= 2;
    std::vector<std::vector<Edge>> grown(size);
    for (std::vector<Edge>& bucket : ring_) {
      if (bucket.empty()) continue;
      const size_t end = bucket.front().start + bucket.front().length;
      grown[end & (size - 1)] = std::move(bucket);
    }
    ring_ = std::move(grown);
  }

  std::vector<std::vector<Edge>>& ring_;
};

// The pruned forward pass. Node e is settled when the decoder reaches
// position e: every edge that ends there starts earlier and is already in
// its list, in ascending start order, and that list is then pruned.
template <typename Text>
void forward_pruned(const Text& text, const RustPrefixTrie& trie, bool byte_fallback, uint64_t k,
                    LatticeMemory& ws) {
  const size_t n = text.size();
  const Nodes nodes = reset_nodes(ws, n);
  PendingEdges pending(ws.ring);
  for (size_t i = 0;; ++i) {
    if (i > 0) {
      std::vector<Edge>& incoming = pending.ending_at(i);
      prune_list(incoming, k);
      for (const Edge& edge : incoming) {
        const double from = nodes.score[edge.start];
        if (from != kUnreached) nodes.relax(i, from, edge.log_p, edge.emit);
      }
      incoming.clear();
    }
    if (i == n) break;
    const bool found = text.visit(
        trie, i, [&](const PrefixMatch& m) { pending.add(Edge{i, m.length, m.log_p, m.token}); },
        ws.matches);
    if (!found && byte_fallback) {
      pending.add(Edge{i, 1, fallback_score(trie, text.at(i)), kFallback});
    }
  }
}

// The forward pass over the per-end edge lists.
void forward_grouped(LatticeMemory& ws, const Nodes& nodes, size_t n) {
  for (size_t e = 1; e <= n; ++e) {
    for (size_t k = ws.group_begin[e]; k < ws.group_end[e]; ++k) {
      const Edge& edge = ws.edges[ws.order[k]];
      const double from = nodes.score[edge.start];
      if (from == kUnreached) continue;
      nodes.relax(e, from, edge.log_p, edge.emit);
    }
  }
}

// The error of a text whose end no path reaches; `n` is its length in
// characters.
CoreError disconnected(size_t n) {
  return make_error("lattice disconnected at character index " + std::to_string(n) +
                    "; enable byte fallback or provide complete vocabulary coverage");
}

// Reads the best path back from position n into `out`, in text order: one
// pass counts the spans, a second writes them from the back, so nothing but
// the result is allocated.
template <typename Text>
Status backtrace(const Text& text, const RustPrefixTrie& trie, const LatticeMemory& ws,
                 SpanList& out) {
  const size_t n = text.size();
  const uint32_t* emits = ws.emits.data();
  if (emits[n] == kNoEdge) return disconnected(n);
  size_t count = 0;
  for (size_t p = n; p != 0;) {
    // Every position on the path from a reached end was reached itself: an
    // edge is only relaxed from a reached start.
    const uint32_t emit = emits[p];
    if (emit == kFallback) {
      count += utf8::encoded_length(text.at(p - 1));
      p -= 1;
    } else {
      count += 1;
      p -= trie.token_chars(emit);
    }
  }
  out.resize_for_overwrite(count);
  CachedSpan* write = out.data() + count;
  for (size_t p = n; p != 0;) {
    const uint32_t emit = emits[p];
    if (emit != kFallback) {
      *--write = CachedSpan::make(emit, trie.token_id(emit));
      p -= trie.token_chars(emit);
      continue;
    }
    char bytes[4];
    const size_t length = utf8::encode(text.at(p - 1), bytes);
    for (size_t b = length; b-- > 0;) {
      const auto byte = static_cast<unsigned char>(bytes[b]);
      *--write = CachedSpan::make(CachedSpan::kBytePieces + byte, byte_piece_id(trie, byte));
    }
    p -= 1;
  }
  return Ok{};
}

// The backtrace of `forward_unpruned_utf8`: one pass from position n, writing
// the spans from the back of a buffer (a text of b bytes has at most b spans),
// then one copy into `out`. A position's emit is meaningful only once it is
// reached, which every position on the path from a reached end is: an edge is
// only relaxed from a reached start.
Status backtrace_utf8(std::string_view text, size_t n, const RustPrefixTrie& trie,
                      const LatticePosition* positions, CachedSpan* buffer, SpanList& out) {
  if (positions[n].score == kUnreached) return disconnected(n);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  CachedSpan* const end = buffer + text.size();
  CachedSpan* write = end;
  for (size_t p = n; p != 0;) {
    const uint32_t emit = positions[p].emit;
    if (emit != kFallback) {
      *--write = CachedSpan::make(emit, trie.token_id(emit));
      p -= trie.token_chars(emit);
      continue;
    }
    for (size_t b = positions[p].offset; b-- > positions[p - 1].offset;) {
      *--write =
          CachedSpan::make(CachedSpan::kBytePieces + bytes[b], byte_piece_id(trie, bytes[b]));
    }
    p -= 1;
  }
  out.assign({write, end});
  return Ok{};
}

// The unpruned decode of valid UTF-8 `text` into `out`.
Status decode_unpruned_utf8(std::string_view text, const RustPrefixTrie& trie, bool byte_fallback,
                            LatticeMemory& memory, SpanList& out) {
  if (text.empty()) {
    out.resize_for_overwrite(0);
    return Ok{};
  }
  LatticePosition* positions = memory.positions(text.size() + 1);
  const size_t n = forward_unpruned_utf8(text, trie, byte_fallback, positions);
  return backtrace_utf8(text, n, trie, positions, memory.backward(text.size()), out);
}

// Decodes `text` into `out`.
template <typename Text>
Status decode(const Text& text, const RustPrefixTrie& trie, bool byte_fallback,
              std::optional<uint64_t> limit, LatticeMemory& ws, SpanList& out) {
  if (text.size() == 0) {
    out.resize_for_overwrite(0);
    return Ok{};
  }
  if (!limit) {
    forward_unpruned(text, trie, byte_fallback, ws);
  } else {
    forward_pruned(text, trie, byte_fallback, *limit, ws);
  }
  Status traced = backtrace(text, trie, ws, out);
  ws.trim();
  return traced;
}

// The readable spans of the decode that `decode_into(spans)` makes.
template <typename DecodeInto>
Result<std::vector<ViterbiSpan>> readable(const RustPrefixTrie& trie, DecodeInto&& decode_into) {
  CachedSegmentation decoded;
  if (Status done = decode_into(decoded.spans); !done) return std::move(done).error();
  return spans_from_cached(decoded, trie);
}

// Decodes valid UTF-8 `text`: unpruned and not too long over its bytes, else
// with the ASCII or the code-point walk.
Status decode_utf8(std::string_view text, const RustPrefixTrie& trie, bool byte_fallback,
                   std::optional<uint64_t> limit, LatticeMemory& memory, SpanList& out) {
  if (!limit && text.size() <= kMaxUtf8DecodeBytes) {
    return decode_unpruned_utf8(text, trie, byte_fallback, memory, out);
  }
  if (utf8::is_ascii(text)) {
    return decode(AsciiText{text}, trie, byte_fallback, limit, memory, out);
  }
  return decode(Utf8Text(text), trie, byte_fallback, limit, memory, out);
}

// A new segmentation of valid UTF-8 `text`, decoded without the caches.
Result<SegmentationRef> decode_uncached(std::string_view text, const RustPrefixTrie& trie,
                                        bool byte_fallback, std::optional<uint64_t> limit) {
  auto seg = std::make_shared<CachedSegmentation>();
  Status done = decode_utf8(text, trie, byte_fallback, limit, lattice_memory(), seg->spans);
  if (!done) return std::move(done).error();
  return SegmentationRef(std::move(seg));
}

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b) {
  return std::max(0.0, std::chrono::duration<double>(b - a).count());
}

}  // namespace

std::string byte_piece(unsigned char byte) { return std::string(BytePieceText(byte).view()); }

Result<std::vector<ViterbiSpan>> viterbi_decode_ascii(std::string_view text,
                                                      const RustPrefixTrie& trie,
                                                      bool byte_fallback,
                                                      std::optional<uint64_t> max_edges_per_node) {
  return viterbi_decode(text, trie, byte_fallback, max_edges_per_node);
}

Result<std::vector<ViterbiSpan>> viterbi_decode_chars(std::span<const char32_t> chars,
                                                      const RustPrefixTrie& trie,
                                                      bool byte_fallback,
                                                      std::optional<uint64_t> max_edges_per_node) {
  return readable(trie, [&](SpanList& out) {
    return decode(CharText{chars}, trie, byte_fallback, max_edges_per_node, lattice_memory(), out);
  });
}

Result<std::vector<ViterbiSpan>> viterbi_decode(std::string_view text, const RustPrefixTrie& trie,
                                                bool byte_fallback,
                                                std::optional<uint64_t> max_edges_per_node) {
  return readable(trie, [&](SpanList& out) {
    return decode_utf8(text, trie, byte_fallback, max_edges_per_node, lattice_memory(), out);
  });
}

namespace {

// The cached decode of a non-empty piece, kept by the calling thread until its
// next cached decode: first the thread's own front cache (or, for ids, the
// table all threads share, unless the caller has asked it already), then the
// trie's cache (locked for the lookup and the store only), then the decoder.
// Lookups and decodes write the spans into the thread's buffer, so that a
// miss allocates nothing of its own.
Result<CachedPiece> decode_through_caches(const SegCache::Probe& key, const RustPrefixTrie& trie,
                                          bool need_segmentation, bool shared_asked,
                                          FrontCache& front, LatticeMemory& memory) {
  const std::string_view text = key.text;
  const bool byte_fallback = key.byte_fallback;
  SpanList& spans = front.scratch();
  if (text.size() > SegCache::kMaxPieceBytes) {
    if (Status done = decode_utf8(text, trie, byte_fallback, std::nullopt, memory, spans); !done) {
      return std::move(done).error();
    }
    return front.hold_scratch(InlineIds::of(spans.view()), true);
  }
  SegCache& cache = trie.seg_cache();
  // Read before the cache is asked, so that an entry kept below is dropped by
  // any clear or emptying that runs meanwhile.
  const uint64_t generation = cache.generation();
  // Id encodes read the table every thread shares, the rest their own.
  SharedIdFront* shared = need_segmentation ? nullptr : SharedIdFront::instance();
  if (shared) {
    InlineIds ids;
    if (!shared_asked && shared->find(generation, key, ids)) return front.hold_scratch(ids, false);
    // The slot the piece is kept in below is loaded while the cache is asked
    // (the table keeps short pieces only).
    if (text.size() <= SharedIdFront::kMaxKeyBytes) shared->prefetch_for_keep(key.hash);
  } else if (CachedPiece hit = front.find(generation, key, need_segmentation); hit.ids) {
    return hit;
  }
  InlineIds ids;
  bool kept = cache.find(key, need_segmentation, ids, spans);
  if (!kept) {
    // What the store and the keep write is loaded while the piece decodes.
    cache.prefetch_for_store(key.hash);
    if (Status done = decode_utf8(text, trie, byte_fallback, std::nullopt, memory, spans); !done) {
      return std::move(done).error();
    }
    ids = InlineIds::of(spans.view());
    // A piece the cache does not keep (turned away, or a poisoned cache) is
    // not kept in front of it either.
    kept = cache.store(key, spans.view());
  }
  const bool spans_held = need_segmentation || !ids.present;
  if (!kept) return front.hold_scratch(ids, spans_held);
  if (!shared) return front.keep(generation, key, ids, spans_held);
  shared->keep(generation, key, ids);
  return front.hold_scratch(ids, spans_held);
}

}  // namespace

Result<SegmentationRef> decode_cached(std::string_view text, const RustPrefixTrie& trie,
                                      bool byte_fallback) {
  if (text.empty()) return SegmentationRef(std::make_shared<const CachedSegmentation>());
  // A piece the cache never takes is decoded straight into the caller's
  // segmentation: it may be very long, and the thread's buffer would hold a
  // second copy.
  if (text.size() > SegCache::kMaxPieceBytes) {
    return decode_uncached(text, trie, byte_fallback, std::nullopt);
  }
  FrontCache& front = FrontCache::of_this_thread();
  Result<CachedPiece> piece = decode_through_caches(trie.seg_cache().probe(byte_fallback, text),
                                                    trie, true, false, front, lattice_memory());
  if (!piece) return std::move(piece).error();
  SegmentationRef seg = piece->segmentation ? *piece->segmentation : nullptr;
  if (!seg) {
    auto copy = std::make_shared<CachedSegmentation>();
    copy->spans.assign(piece->spans->view());
    seg = std::move(copy);
  }
  front.release_held();
  return seg;
}

namespace {

// The decode of an empty piece: no tokens, and no cache touched.
CachedPiece empty_piece() noexcept {
  static const SegmentationRef kEmpty = std::make_shared<const CachedSegmentation>();
  static const InlineIds kNoIds = InlineIds::of({});
  return CachedPiece{&kEmpty, &kNoIds};
}

}  // namespace

Result<CachedPiece> decode_cached_here(const SegCache::Probe& key, const RustPrefixTrie& trie,
                                       bool need_segmentation, FrontCache& front,
                                       LatticeMemory& memory) {
  if (key.text.empty()) return empty_piece();
  return decode_through_caches(key, trie, need_segmentation, true, front, memory);
}

Result<CachedPiece> decode_cached_here(std::string_view text, const RustPrefixTrie& trie,
                                       bool byte_fallback, bool need_segmentation) {
  if (text.empty()) return empty_piece();
  return decode_through_caches(trie.seg_cache().probe(byte_fallback, text), trie, need_segmentation,
                               false, FrontCache::of_this_thread(), lattice_memory());
}

Result<SegmentationRef> decode_piece(std::string_view text, const RustPrefixTrie& trie,
                                     bool byte_fallback,
                                     std::optional<uint64_t> max_edges_per_node) {
  if (!max_edges_per_node) return decode_cached(text, trie, byte_fallback);
  return decode_uncached(text, trie, byte_fallback, max_edges_per_node);
}

Status append_ids(const CachedPiece& piece, const RustPrefixTrie& trie, std::string_view prefix,
                  std::vector<uint32_t>& out, std::optional<uint32_t> missing_id) {
  if (piece.ids->present) {
    out.insert(out.end(), piece.ids->ids, piece.ids->ids + piece.ids->count);
    return Ok{};
  }
  const SpanList& spans = piece.span_list();
  const size_t before = out.size();
  out.resize(before + spans.size());
  uint32_t* write = out.data() + before;
  for (const CachedSpan& span : spans) {
    if (!span.has_id()) {
      if (missing_id) {
        *write++ = *missing_id;
        continue;
      }
      out.resize(static_cast<size_t>(write - out.data()));
      return missing_id_error(span, trie, prefix);
    }
    *write++ = span.id;
  }
  return Ok{};
}

CoreError missing_id_error(const CachedSpan& span, const RustPrefixTrie& trie,
                           std::string_view prefix) {
  BytePieceText buffer(0);
  return missing_id_error(prefix, span_text(span, trie, buffer));
}

std::vector<ViterbiSpan> spans_from_cached(const CachedSegmentation& segmentation,
                                           const RustPrefixTrie& trie) {
  std::vector<ViterbiSpan> out;
  out.reserve(segmentation.spans.size());
  for (SpanReader reader(segmentation, trie); !reader.done();) {
    const SpanView& span = reader.next();
    out.push_back(ViterbiSpan{std::string(span.token), span.token_id, span.start, span.end});
  }
  return out;
}

LatticeDiagnostic diagnose_lattice(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback) {
  using Clock = std::chrono::steady_clock;
  std::vector<char32_t> chars;
  utf8::to_code_points(text, chars);
  const CharText view{chars};
  const size_t n = chars.size();
  LatticeMemory& ws = lattice_memory();
  LatticeDiagnostic out;
  build_edges(view, trie, byte_fallback, ws, [&](size_t i) {
    const Clock::time_point before = Clock::now();
    view.search(trie, i, ws.matches);
    out.lookup_seconds += seconds_between(before, Clock::now());
  });
  out.edge_count = ws.edges.size();
  out.node_count = n + 1;
  group_by_end(ws, n);
  const Nodes nodes = reset_nodes(ws, n);
  const Clock::time_point before = Clock::now();
  forward_grouped(ws, nodes, n);
  out.dp_seconds = seconds_between(before, Clock::now());
  ws.trim();
  return out;
}

}  // namespace brindlore
