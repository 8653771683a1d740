#include "core/trie.h"

#include <algorithm>
#include <cmath>

#include "core/utf8.h"

namespace brindlore {
namespace {

int hex_digit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte whose piece `token` is ("<0x" + two upper-case hex digits + ">"),
// or -1.
int byte_of_piece(std::string_view token) noexcept {
  if (token.size() != 6 || token.substr(0, 3) != "<0x" || token[5] != '>') return -1;
  const int high = hex_digit(token[3]), low = hex_digit(token[4]);
  return high < 0 || low < 0 ? -1 : high * 16 + low;
}

}  // namespace

RustPrefixTrie::RustPrefixTrie() : RustPrefixTrie(size_t{0}, CompactLimits{}) {}

RustPrefixTrie::RustPrefixTrie(CompactLimits limits) : RustPrefixTrie(size_t{0}, limits) {}

RustPrefixTrie::RustPrefixTrie(size_t cache_entries, CompactLimits limits)
    : nodes_(1),
      compact_(std::make_unique<CompactCell>(limits)),
      seg_cache_(std::make_shared<SegCache>(cache_entries)) {}

RustPrefixTrie RustPrefixTrie::make_new(std::optional<uint64_t> max_subword_len) {
  RustPrefixTrie trie(SegCache::kPresizedEntries, CompactLimits{});
  trie.max_subword_len_ = max_subword_len;
  return trie;
}

uint32_t RustPrefixTrie::child_or_create(uint32_t node, unsigned char byte) {
  const uint32_t found = child(nodes_[node], byte);
  if (found != kNone) return found;
  const auto created = static_cast<uint32_t>(nodes_.size());
  nodes_.emplace_back();
  TrieNode& parent = nodes_[node];
  if (parent.table == kNone && parent.count < kInline) {
    parent.keys |= uint64_t{byte} << (8 * parent.count);
    parent.kids[parent.count++] = created;
    return created;
  }
  if (parent.table == kNone) {
    // The inline slots are full: move the children to a table of their own.
    const size_t base = tables_.size();
    parent.table = static_cast<uint32_t>(base / 256);
    tables_.resize(base + 256, kNone);
    for (unsigned i = 0; i < parent.count; ++i) {
      tables_[base + ((parent.keys >> (8 * i)) & 0xFF)] = parent.kids[i];
    }
  }
  tables_[size_t{parent.table} * 256 + byte] = created;
  return created;
}

Status RustPrefixTrie::insert_token(std::string_view token, std::optional<uint32_t> token_id,
                                    double log_p) {
  if (token.empty()) return make_error("token must not be empty");
  if (!std::isfinite(log_p)) return make_error("log_p must be finite");
  // Threads' front caches must ask the segmentation cache again (which keeps
  // its entries) rather than trust what they took before.
  seg_cache_->invalidate_front_caches();
  // The compact form describes the old contents; it is made again when due.
  compact_->reset();
  uint32_t node = 0;
  for (char c : token) node = child_or_create(node, static_cast<unsigned char>(c));
  uint32_t index = nodes_[node].token_index;
  if (index == kNone) {
    // Indexes are never reused or moved: cached segmentations refer to them.
    index = static_cast<uint32_t>(tokens_.size());
    nodes_[node].token_index = index;
    tokens_.emplace_back(token);
    const size_t chars = utf8::count_chars(token);
    records_.push_back({0.0, 0, static_cast<uint32_t>(std::min<size_t>(chars, kManyChars))});
  }
  TokenRecord& record = records_[index];
  record.log_p = log_p;
  record.id = token_id.value_or(0);
  record.chars = (record.chars & ~kHasId) | (token_id ? kHasId : 0);
  if (const int byte = byte_of_piece(token); byte >= 0) {
    byte_pieces_[static_cast<size_t>(byte)] = BytePiece{log_p, index, token_id};
  }
  return Ok{};
}

size_t RustPrefixTrie::count_token_chars(uint32_t index) const noexcept {
  return utf8::count_chars(tokens_[index]);
}

uint32_t RustPrefixTrie::token_index(std::string_view token) const noexcept {
  uint32_t node = 0;
  for (char c : token) {
    node = child(nodes_[node], static_cast<unsigned char>(c));
    if (node == kNone) return kNoToken;
  }
  return nodes_[node].token_index;
}

RustPrefixTrie::SearchFormInfo RustPrefixTrie::search_form() const noexcept {
  const uint32_t builds = compact_->builds.load(std::memory_order_relaxed);
  const CompactForm* form = compact_->form.load(std::memory_order_acquire);
  if (!form) return {SearchForm::kNodeWalk, 0, builds};
  if (!form->narrow.empty()) return {SearchForm::kNarrow, form->narrow.bytes(), builds};
  return {SearchForm::kWide, form->wide.bytes(), builds};
}

std::optional<TokenMetadata> RustPrefixTrie::exact_metadata(std::string_view token) const {
  const uint32_t index = token_index(token);
  if (index == kNoToken) return std::nullopt;
  return TokenMetadata{token_id(index), records_[index].log_p};
}

// The two ways of walking the trie, behind one interface: `step` follows a
// byte (false when there is no such child), `report` adds the match that ends
// at the current position, if any.
struct RustPrefixTrie::NodeCursor {
  const RustPrefixTrie& trie;
  uint32_t node;
  bool step(unsigned char byte) noexcept {
    node = trie.child(trie.nodes_[node], byte);
    return node != kNone;
  }
  void report(size_t depth, std::vector<PrefixMatch>& out) const {
    const uint32_t token = trie.nodes_[node].token_index;
    if (token != kNone) trie.add_match(token, depth, out);
  }
};

namespace {

template <typename States>
struct CompactCursor {
  const States& states;
  const RustPrefixTrie& trie;
  int32_t state;
  bool step(unsigned char byte) noexcept {
    state = states.next(state, byte);
    return state >= 0;
  }
  void report(size_t depth, std::vector<PrefixMatch>& out) const {
    const uint32_t v = states.value(state);
    if (v == DoubleArrayBits::kNoValue) return;
    out.push_back(PrefixMatch{trie.token_log_p(v), v, depth});
  }
};
// Deducing an aggregate's template arguments without a guide needs clang 17.
template <typename States>
CompactCursor(const States&, const RustPrefixTrie&, int32_t) -> CompactCursor<States>;

// The same over decoded characters, encoding each to walk its bytes.
template <typename Cursor>
void walk_chars(const char32_t* chars, size_t n, size_t start, size_t limit, Cursor cursor,
                std::vector<PrefixMatch>& out) {
  for (size_t pos = start, depth = 0; pos < n && depth < limit; ++pos) {
    char bytes[4];
    const size_t count = utf8::encode(chars[pos], bytes);
    for (size_t k = 0; k < count; ++k) {
      if (!cursor.step(static_cast<unsigned char>(bytes[k]))) return;
    }
    ++depth;
    cursor.report(depth, out);
  }
}

}  // namespace

RustPrefixTrie::CompactCell::CompactCell(CompactLimits wanted) noexcept
    : limits{std::min(wanted.narrow, DoubleArray<uint32_t>::kMaxField),
             std::min(wanted.wide, DoubleArray<uint64_t>::kMaxField)} {}

void RustPrefixTrie::CompactCell::reset() noexcept {
  form.store(nullptr, std::memory_order_relaxed);
  owned.reset();
  searches.store(0, std::memory_order_relaxed);
  failed.store(false, std::memory_order_relaxed);
  builds.store(0, std::memory_order_relaxed);
}

const RustPrefixTrie::CompactForm* RustPrefixTrie::compact(size_t searches) const {
  CompactCell& cell = *compact_;
  if (const CompactForm* form = cell.form.load(std::memory_order_acquire)) return form;
  // Checked before the count, so that a trie left to the node walk stops
  // writing the shared counter.
  if (cell.failed.load(std::memory_order_relaxed)) return nullptr;
  // Building costs about as much as a few searches per node: not worth it for
  // a trie that is searched a handful of times between changes.
  if (cell.searches.fetch_add(searches, std::memory_order_relaxed) < nodes_.size() + 64) {
    return nullptr;
  }
  return build_compact(false);
}

void RustPrefixTrie::prepare_for_search() const { build_compact(true); }

const RustPrefixTrie::CompactForm* RustPrefixTrie::build_compact(bool wait) const {
  CompactCell& cell = *compact_;
  std::unique_lock<std::mutex> lock(cell.mutex, std::defer_lock);
  if (wait) {
    lock.lock();
  } else if (!lock.try_lock()) {
    return nullptr;
  }
  if (const CompactForm* form = cell.form.load(std::memory_order_acquire)) return form;
  // A trie too large for the units' fields keeps the node walk, and building
  // is not tried again until the next change: a failed build costs as much as
  // one that succeeds, and every searching thread would wait for it.
  if (cell.failed.load(std::memory_order_relaxed)) return nullptr;
  cell.builds.fetch_add(1, std::memory_order_relaxed);
  std::optional<DoubleArrayLayout> layout = lay_out_double_array(
      [&](uint32_t node, std::vector<DoubleArrayChild>& kids) {
        kids.clear();
        const TrieNode& n = nodes_[node];
        if (n.table != kNone) {
          for (unsigned b = 0; b < 256; ++b) {
            const uint32_t kid = tables_[size_t{n.table} * 256 + b];
            if (kid != kNone) kids.emplace_back(static_cast<unsigned char>(b), kid);
          }
          return;
        }
        for (unsigned i = 0; i < n.count; ++i) {
          kids.emplace_back(static_cast<unsigned char>((n.keys >> (8 * i)) & 0xFF), n.kids[i]);
        }
        std::sort(kids.begin(), kids.end());
      },
      [&](uint32_t node) { return nodes_[node].token_index; },
      [&](uint32_t node) {
        const TrieNode* n = &nodes_[node];
        __builtin_prefetch(n);
        __builtin_prefetch(reinterpret_cast<const char*>(n + 1) - 1);
      },
      cell.limits.wide);
  if (!layout) {
    cell.failed.store(true, std::memory_order_relaxed);
    return nullptr;
  }
  auto form = std::make_unique<CompactForm>();
  for (const std::string& token : tokens_) {
    const char32_t first = utf8::decode_at(token, 0);
    if (first < 0x10000) form->first_chars[first >> 6] |= uint64_t{1} << (first & 63);
  }
  if (layout->max_field <= cell.limits.narrow) {
    form->narrow = DoubleArray<uint32_t>::pack(std::move(*layout));
  } else {
    form->wide = DoubleArray<uint64_t>::pack(std::move(*layout));
  }
  cell.owned = std::move(form);
  cell.form.store(cell.owned.get(), std::memory_order_release);
  return cell.owned.get();
}

void RustPrefixTrie::common_prefix_search_chars(const char32_t* chars, size_t n, size_t start,
                                                std::vector<PrefixMatch>& out) const {
  out.clear();
  if (const CompactForm* form = compact()) {
    if (!form->narrow.empty()) {
      walk_chars(chars, n, start, depth_limit(), CompactCursor{form->narrow, *this, 0}, out);
    } else {
      walk_chars(chars, n, start, depth_limit(), CompactCursor{form->wide, *this, 0}, out);
    }
  } else {
    walk_chars(chars, n, start, depth_limit(), NodeCursor{*this, 0}, out);
  }
}

void RustPrefixTrie::common_prefix_search_utf8(std::string_view text, size_t start,
                                               std::vector<PrefixMatch>& out) const {
  out.clear();
  visit_prefixes_utf8(text, start, [&](const PrefixMatch& m) { out.push_back(m); });
}

}  // namespace brindlore
