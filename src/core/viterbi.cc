#include "core/viterbi.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "core/debug_quote.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

constexpr double kUnreached = -std::numeric_limits<double>::infinity();

// Text views the decoder walks: byte positions of ASCII text, or code points.
struct AsciiText {
  std::string_view text;
  size_t size() const noexcept { return text.size(); }
  char32_t at(size_t i) const noexcept { return static_cast<unsigned char>(text[i]); }
  void search(const RustPrefixTrie& trie, size_t i, std::vector<PrefixMatch>& out) const {
    trie.common_prefix_search_ascii(text, i, out);
  }
};

struct CharText {
  std::span<const char32_t> chars;
  size_t size() const noexcept { return chars.size(); }
  char32_t at(size_t i) const noexcept { return chars[i]; }
  void search(const RustPrefixTrie& trie, size_t i, std::vector<PrefixMatch>& out) const {
    trie.common_prefix_search_chars(chars.data(), chars.size(), i, out);
  }
};

// Code points of UTF-8 text with the byte offset of each, so that the trie
// walks the text's own bytes instead of encoding characters again.
struct Utf8Text {
  std::string_view text;
  std::span<const char32_t> chars;
  std::span<const size_t> offsets;
  size_t size() const noexcept { return chars.size(); }
  char32_t at(size_t i) const noexcept { return chars[i]; }
  void search(const RustPrefixTrie& trie, size_t i, std::vector<PrefixMatch>& out) const {
    trie.common_prefix_search_utf8(text, offsets[i], out);
  }
};

// What an edge emits: one vocabulary token (pointing into the trie), or, when
// `token` is null, the byte pieces of the character at the edge's start.
struct Emit {
  const std::string* token = nullptr;
  std::optional<uint32_t> token_id;
};

struct Edge {
  size_t start;
  size_t length;
  double log_p;
  Emit emit;
};

struct Node {
  double score = kUnreached;
  size_t start = 0;
  Emit emit;
  bool has_pieces = false;
};

// Per-thread scratch memory, reused from call to call so that a decode
// allocates only its result.
struct Workspace {
  std::vector<PrefixMatch> matches;
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::vector<size_t> order;        // edge indices grouped by end position
  std::vector<size_t> group_begin;  // per end position, into `order`
  std::vector<size_t> group_end;
  std::vector<std::vector<Edge>> ring;  // pruned decode: pending edges by end (see PendingEdges)
  std::vector<size_t> path;         // node positions of the best path, last first
  std::vector<char32_t> chars;      // code points of the text being decoded
  std::vector<size_t> offsets;      // byte offset of each of those code points

  // Gives back memory after an unusually long text.
  void trim() {
    constexpr size_t kKeep = size_t{1} << 16;
    if (nodes.capacity() > kKeep) nodes = {};
    if (path.capacity() > kKeep) path = {};
    if (chars.capacity() > kKeep) chars = {}, offsets = {};
    if (edges.capacity() > kKeep) edges = {};
    if (order.capacity() > kKeep) order = {}, group_begin = {}, group_end = {};
    for (std::vector<Edge>& bucket : ring) {
      if (bucket.capacity() > kKeep) bucket = {};
    }
  }
};

Workspace& workspace() {
  thread_local Workspace ws;
  return ws;
}

// The byte piece text of `byte` in a fixed buffer.
struct BytePieceText {
  char text[6];
  explicit BytePieceText(unsigned char byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::memcpy(text, "<0x", 3);
    text[3] = kHex[byte >> 4];
    text[4] = kHex[byte & 0xF];
    text[5] = '>';
  }
  std::string_view view() const noexcept { return {text, sizeof text}; }
};

// The score of the byte-fallback edge of `cp`: its byte pieces' scores, summed
// in byte order from 0.0.
double fallback_score(const RustPrefixTrie& trie, char32_t cp) {
  char bytes[4];
  const size_t count = utf8::encode(cp, bytes);
  double sum = 0.0;
  for (size_t b = 0; b < count; ++b) {
    auto meta = trie.exact_metadata(BytePieceText(static_cast<unsigned char>(bytes[b])).view());
    sum += meta ? meta->log_p : kUnknownBytePieceScore;
  }
  return sum;
}

// Appends the byte pieces of `cp`, all with the character's offsets.
void append_byte_pieces(const RustPrefixTrie& trie, char32_t cp, size_t start,
                        std::vector<ViterbiSpan>& out) {
  char bytes[4];
  const size_t count = utf8::encode(cp, bytes);
  for (size_t b = 0; b < count; ++b) {
    BytePieceText piece(static_cast<unsigned char>(bytes[b]));
    auto meta = trie.exact_metadata(piece.view());
    out.push_back(ViterbiSpan{std::string(piece.view()),
                              meta ? meta->token_id : std::nullopt, start, start + 1});
  }
}

inline void relax(Node& to, double from_score, size_t start, double log_p, const Emit& emit) {
  const double candidate = from_score + log_p;
  if (candidate > to.score) {
    to.score = candidate;
    to.start = start;
    to.emit = emit;
    to.has_pieces = true;
  }
}

void reset_nodes(Workspace& ws, size_t n) {
  ws.nodes.assign(n + 1, Node{});
  ws.nodes[0].score = 0.0;
}

// The unpruned forward pass, fused with edge building: edges are relaxed as
// they are found, start by start. Node i is final when its own edges go out
// (every edge into it starts earlier), and each end position receives its
// candidates in ascending start order, which is the order the per-end edge
// lists would hold, so the result is that of building the lattice first.
template <typename Text>
void forward_unpruned(const Text& text, const RustPrefixTrie& trie, bool byte_fallback,
                      Workspace& ws) {
  const size_t n = text.size();
  reset_nodes(ws, n);
  Node* nodes = ws.nodes.data();
  for (size_t i = 0; i < n; ++i) {
    // Every edge out of an unreached position would be skipped, whether it
    // is a vocabulary or a fallback edge, so its search can be skipped too.
    const double from = nodes[i].score;
    if (from == kUnreached) continue;
    text.search(trie, i, ws.matches);
    if (ws.matches.empty()) {
      if (byte_fallback) relax(nodes[i + 1], from, i, fallback_score(trie, text.at(i)), Emit{});
      continue;
    }
    for (const PrefixMatch& m : ws.matches) {
      relax(nodes[i + m.length], from, i, m.log_p, Emit{m.token, m.token_id});
    }
  }
}

// Builds every edge of the lattice in ascending start order; `timed_search`
// runs each prefix search (so the diagnostic can time them).
template <typename Text, typename Search>
void build_edges(const Text& text, const RustPrefixTrie& trie, bool byte_fallback, Workspace& ws,
                 Search&& timed_search) {
  ws.edges.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    timed_search(i);
    if (ws.matches.empty()) {
      if (byte_fallback) ws.edges.push_back(Edge{i, 1, fallback_score(trie, text.at(i)), Emit{}});
      continue;
    }
    for (const PrefixMatch& m : ws.matches) {
      ws.edges.push_back(Edge{i, m.length, m.log_p, Emit{m.token, m.token_id}});
    }
  }
}

// Files the edges under their end positions, keeping ascending start order in
// each list (a stable counting sort).
void group_by_end(Workspace& ws, size_t n) {
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
                    Workspace& ws) {
  const size_t n = text.size();
  reset_nodes(ws, n);
  Node* nodes = ws.nodes.data();
  PendingEdges pending(ws.ring);
  for (size_t i = 0;; ++i) {
    if (i > 0) {
      std::vector<Edge>& incoming = pending.ending_at(i);
      prune_list(incoming, k);
      for (const Edge& edge : incoming) {
        const double from = nodes[edge.start].score;
        if (from != kUnreached) relax(nodes[i], from, edge.start, edge.log_p, edge.emit);
      }
      incoming.clear();
    }
    if (i == n) break;
    text.search(trie, i, ws.matches);
    if (ws.matches.empty()) {
      if (byte_fallback) pending.add(Edge{i, 1, fallback_score(trie, text.at(i)), Emit{}});
      continue;
    }
    for (const PrefixMatch& m : ws.matches) {
      pending.add(Edge{i, m.length, m.log_p, Emit{m.token, m.token_id}});
    }
  }
}

// The forward pass over the per-end edge lists.
void forward_grouped(Workspace& ws, size_t n) {
  Node* nodes = ws.nodes.data();
  for (size_t e = 1; e <= n; ++e) {
    for (size_t k = ws.group_begin[e]; k < ws.group_end[e]; ++k) {
      const Edge& edge = ws.edges[ws.order[k]];
      const double from = nodes[edge.start].score;
      if (from == kUnreached) continue;
      relax(nodes[e], from, edge.start, edge.log_p, edge.emit);
    }
  }
}

std::string unsigned_text(size_t v) { return std::to_string(v); }

// Reads the best path back from node n into spans in text order.
template <typename Text>
Result<std::vector<ViterbiSpan>> backtrace(const Text& text, const RustPrefixTrie& trie,
                                           Workspace& ws) {
  const size_t n = text.size();
  if (!ws.nodes[n].has_pieces) {
    return make_error("lattice disconnected at character index " + unsigned_text(n) +
                      "; enable byte fallback or provide complete vocabulary coverage");
  }
  ws.path.clear();
  size_t pieces = 0;
  for (size_t p = n; p != 0; p = ws.nodes[p].start) {
    const Node& node = ws.nodes[p];
    if (!node.has_pieces) {
      return make_error("lattice backpointer missing at character index " + unsigned_text(p));
    }
    ws.path.push_back(p);
    char bytes[4];
    pieces += node.emit.token ? 1 : utf8::encode(text.at(node.start), bytes);
  }
  std::vector<ViterbiSpan> spans;
  spans.reserve(pieces);
  for (auto it = ws.path.rbegin(); it != ws.path.rend(); ++it) {
    const Node& node = ws.nodes[*it];
    if (node.emit.token) {
      spans.push_back(ViterbiSpan{*node.emit.token, node.emit.token_id, node.start, *it});
    } else {
      append_byte_pieces(trie, text.at(node.start), node.start, spans);
    }
  }
  return spans;
}

template <typename Text>
Result<std::vector<ViterbiSpan>> decode(const Text& text, const RustPrefixTrie& trie,
                                        bool byte_fallback, std::optional<uint64_t> limit) {
  if (text.size() == 0) return std::vector<ViterbiSpan>{};
  Workspace& ws = workspace();
  if (!limit) {
    forward_unpruned(text, trie, byte_fallback, ws);
  } else {
    forward_pruned(text, trie, byte_fallback, *limit, ws);
  }
  Result<std::vector<ViterbiSpan>> result = backtrace(text, trie, ws);
  ws.trim();
  return result;
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
  return decode(AsciiText{text}, trie, byte_fallback, max_edges_per_node);
}

Result<std::vector<ViterbiSpan>> viterbi_decode_chars(std::span<const char32_t> chars,
                                                      const RustPrefixTrie& trie,
                                                      bool byte_fallback,
                                                      std::optional<uint64_t> max_edges_per_node) {
  return decode(CharText{chars}, trie, byte_fallback, max_edges_per_node);
}

Result<std::vector<ViterbiSpan>> viterbi_decode(std::string_view text, const RustPrefixTrie& trie,
                                                bool byte_fallback,
                                                std::optional<uint64_t> max_edges_per_node) {
  if (utf8::is_ascii(text)) {
    return viterbi_decode_ascii(text, trie, byte_fallback, max_edges_per_node);
  }
  Workspace& ws = workspace();
  ws.chars.clear();
  ws.offsets.clear();
  for (const char* p = text.data(); p < text.data() + text.size();) {
    ws.offsets.push_back(static_cast<size_t>(p - text.data()));
    ws.chars.push_back(utf8::decode(p));
  }
  return decode(Utf8Text{text, ws.chars, ws.offsets}, trie, byte_fallback, max_edges_per_node);
}

namespace {

// The unpruned decode of `text` as a new segmentation.
Result<SegmentationRef> decode_new(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback) {
  Result<std::vector<ViterbiSpan>> spans = viterbi_decode(text, trie, byte_fallback, std::nullopt);
  if (!spans) return std::move(spans).error();
  return SegmentationRef(std::make_shared<const CachedSegmentation>(
      CachedSegmentation{SpanList(std::move(spans).value())}));
}

// A new segmentation as a cache lookup would have found it.
SegCache::Found found_new(SegmentationRef seg) {
  const InlineIds ids = InlineIds::of(*seg);
  return {true, std::move(seg), ids};
}

// The cached decode of a non-empty piece, kept by the calling thread until its
// next cached decode: first the thread's own front cache, then the trie's
// cache (locked for the lookup and the store only), then the decoder.
Result<CachedPiece> decode_through_caches(const SegCache::Probe& key, const RustPrefixTrie& trie,
                                          bool need_segmentation, FrontCache& front) {
  const std::string_view text = key.text;
  const bool byte_fallback = key.byte_fallback;
  if (text.size() > SegCache::kMaxPieceBytes) {
    Result<SegmentationRef> seg = decode_new(text, trie, byte_fallback);
    if (!seg) return std::move(seg).error();
    return front.hold(found_new(std::move(seg).value()));
  }
  const SegCache& cache = trie.seg_cache();
  // Read before the cache is asked, so that an entry kept below is dropped by
  // any clear or emptying that runs meanwhile.
  const uint64_t generation = cache.generation();
  if (CachedPiece hit = front.find(generation, key, need_segmentation); hit.ids) return hit;
  SegCache::Found found = cache.lookup(key, need_segmentation);
  if (!found.found) {
    Result<SegmentationRef> decoded = decode_new(text, trie, byte_fallback);
    if (!decoded) return std::move(decoded).error();
    found = found_new(std::move(decoded).value());
    if (!trie.seg_cache().store(key, found.seg, found.ids)) {
      return front.hold(std::move(found));  // poisoned
    }
  }
  return front.keep(generation, key, std::move(found));
}

}  // namespace

Result<SegmentationRef> decode_cached(std::string_view text, const RustPrefixTrie& trie,
                                      bool byte_fallback) {
  if (text.empty()) return SegmentationRef(std::make_shared<const CachedSegmentation>());
  Result<CachedPiece> piece = decode_through_caches(trie.seg_cache().probe(byte_fallback, text),
                                                    trie, true, FrontCache::of_this_thread());
  if (!piece) return std::move(piece).error();
  return *piece->segmentation;
}

Result<CachedPiece> decode_cached_here(const SegCache::Probe& key, const RustPrefixTrie& trie,
                                       bool need_segmentation, FrontCache& front) {
  static const SegmentationRef kEmpty = std::make_shared<const CachedSegmentation>();
  static const InlineIds kNoIds = InlineIds::of(*kEmpty);
  if (key.text.empty()) return CachedPiece{&kEmpty, &kNoIds};
  return decode_through_caches(key, trie, need_segmentation, front);
}

Result<CachedPiece> decode_cached_here(std::string_view text, const RustPrefixTrie& trie,
                                       bool byte_fallback, bool need_segmentation) {
  return decode_cached_here(trie.seg_cache().probe(byte_fallback, text), trie, need_segmentation,
                            FrontCache::of_this_thread());
}

Result<SegmentationRef> decode_piece(std::string_view text, const RustPrefixTrie& trie,
                                     bool byte_fallback,
                                     std::optional<uint64_t> max_edges_per_node) {
  if (!max_edges_per_node) return decode_cached(text, trie, byte_fallback);
  Result<std::vector<ViterbiSpan>> spans = viterbi_decode(text, trie, byte_fallback,
                                                          max_edges_per_node);
  if (!spans) return std::move(spans).error();
  return SegmentationRef(
      std::make_shared<const CachedSegmentation>(CachedSegmentation{SpanList(std::move(spans).value())}));
}

Status append_ids(const CachedPiece& piece, std::string_view prefix, std::vector<uint32_t>& out) {
  if (piece.ids->present) {
    out.insert(out.end(), piece.ids->ids, piece.ids->ids + piece.ids->count);
    return Ok{};
  }
  for (const CachedSpan& span : (*piece.segmentation)->spans) {
    if (!span.token_id) return missing_id_error(prefix, span.token);
    out.push_back(*span.token_id);
  }
  return Ok{};
}

Status require_ids(const CachedSegmentation& segmentation, std::string_view prefix) {
  for (const CachedSpan& span : segmentation.spans) {
    if (!span.token_id) return missing_id_error(prefix, span.token);
  }
  return Ok{};
}

std::vector<ViterbiSpan> spans_from_cached(const CachedSegmentation& segmentation) {
  return std::vector<ViterbiSpan>(segmentation.spans.begin(), segmentation.spans.end());
}

LatticeDiagnostic diagnose_lattice(std::string_view text, const RustPrefixTrie& trie,
                                   bool byte_fallback) {
  using Clock = std::chrono::steady_clock;
  std::vector<char32_t> chars;
  utf8::to_code_points(text, chars);
  const CharText view{chars};
  const size_t n = chars.size();
  Workspace& ws = workspace();
  LatticeDiagnostic out;
  build_edges(view, trie, byte_fallback, ws, [&](size_t i) {
    const Clock::time_point before = Clock::now();
    view.search(trie, i, ws.matches);
    out.lookup_seconds += seconds_between(before, Clock::now());
  });
  out.edge_count = ws.edges.size();
  out.node_count = n + 1;
  group_by_end(ws, n);
  reset_nodes(ws, n);
  const Clock::time_point before = Clock::now();
  forward_grouped(ws, n);
  out.dp_seconds = seconds_between(before, Clock::now());
  ws.trim();
  return out;
}

}  // namespace brindlore
