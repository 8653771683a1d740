#include "core/trie.h"

#include <cmath>

#include "core/utf8.h"

namespace brindlore {

RustPrefixTrie::RustPrefixTrie() : RustPrefixTrie(size_t{0}) {}

RustPrefixTrie::RustPrefixTrie(size_t cache_entries)
    : nodes_(1), seg_cache_(std::make_shared<SegCache>(cache_entries)) {}

RustPrefixTrie RustPrefixTrie::make_new(std::optional<uint64_t> max_subword_len) {
  RustPrefixTrie trie(SegCache::kPresizedEntries);
  trie.max_subword_len_ = max_subword_len;
  return trie;
}

uint32_t RustPrefixTrie::child_or_create(uint32_t node, char32_t c) {
  uint32_t found = child(nodes_[node], c);
  if (found != kNone) return found;
  const auto created = static_cast<uint32_t>(nodes_.size());
  nodes_.emplace_back();
  TrieNode& parent = nodes_[node];
  if (c >= 0x80) {
    if (parent.wide_map == kNone) {
      parent.wide_map = static_cast<uint32_t>(wide_maps_.size());
      wide_maps_.emplace_back(0, SeededCharHash{seeds_.next()});
    }
    wide_maps_[parent.wide_map].emplace(c, created);
    return created;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (parent.ascii_table == kNone && parent.ascii_count < kInlineAscii) {
    parent.ascii_keys[parent.ascii_count] = byte;
    parent.ascii_kids[parent.ascii_count] = created;
    ++parent.ascii_count;
    return created;
  }
  if (parent.ascii_table == kNone) {
    // Too many ASCII children for the inline slots: move them to a table.
    parent.ascii_table = static_cast<uint32_t>(ascii_tables_.size() / 128);
    size_t base = ascii_tables_.size();
    ascii_tables_.resize(base + 128, kNone);
    for (int i = 0; i < parent.ascii_count; ++i) {
      ascii_tables_[base + parent.ascii_keys[i]] = parent.ascii_kids[i];
    }
    parent.ascii_count = 0;
  }
  ascii_tables_[size_t{parent.ascii_table} * 128 + byte] = created;
  return created;
}

Status RustPrefixTrie::insert_token(std::string_view token, std::optional<uint32_t> token_id,
                                    double log_p) {
  if (token.empty()) return make_error("token must not be empty");
  if (!std::isfinite(log_p)) return make_error("log_p must be finite");
  uint32_t node = 0;
  const char* p = token.data();
  const char* end = p + token.size();
  while (p < end) node = child_or_create(node, utf8::decode(p));
  TrieNode& leaf = nodes_[node];
  if (leaf.token_index == kNone) {
    leaf.token_index = static_cast<uint32_t>(tokens_.size());
    tokens_.emplace_back(token);
  } else {
    tokens_[leaf.token_index].assign(token);
  }
  leaf.is_end = true;
  leaf.has_id = token_id.has_value();
  leaf.token_id = token_id.value_or(0);
  leaf.log_p = log_p;
  return Ok{};
}

std::optional<TokenMetadata> RustPrefixTrie::exact_metadata(std::string_view token) const {
  uint32_t node = 0;
  if (utf8::is_ascii(token)) {
    for (char c : token) {
      node = child_ascii(nodes_[node], static_cast<unsigned char>(c));
      if (node == kNone) return std::nullopt;
    }
  } else {
    const char* p = token.data();
    const char* end = p + token.size();
    while (p < end) {
      node = child(nodes_[node], utf8::decode(p));
      if (node == kNone) return std::nullopt;
    }
  }
  const TrieNode& leaf = nodes_[node];
  if (!leaf.is_end) return std::nullopt;
  return TokenMetadata{leaf.has_id ? std::optional<uint32_t>(leaf.token_id) : std::nullopt,
                       leaf.log_p};
}

void RustPrefixTrie::add_match(const TrieNode& node, size_t depth,
                               std::vector<PrefixMatch>& out) const {
  if (!node.is_end || node.token_index == kNone) return;
  out.push_back(PrefixMatch{&tokens_[node.token_index],
                            node.has_id ? std::optional<uint32_t>(node.token_id) : std::nullopt,
                            node.log_p, depth});
}

void RustPrefixTrie::common_prefix_search_ascii(std::string_view text, size_t start,
                                                std::vector<PrefixMatch>& out) const {
  out.clear();
  const size_t limit = depth_limit();
  uint32_t node = 0;
  for (size_t pos = start, depth = 0; pos < text.size() && depth < limit;) {
    node = child_ascii(nodes_[node], static_cast<unsigned char>(text[pos]));
    if (node == kNone) return;
    ++pos;
    ++depth;
    add_match(nodes_[node], depth, out);
  }
}

void RustPrefixTrie::common_prefix_search_chars(const char32_t* chars, size_t n, size_t start,
                                                std::vector<PrefixMatch>& out) const {
  out.clear();
  const size_t limit = depth_limit();
  uint32_t node = 0;
  for (size_t pos = start, depth = 0; pos < n && depth < limit;) {
    node = child(nodes_[node], chars[pos]);
    if (node == kNone) return;
    ++pos;
    ++depth;
    add_match(nodes_[node], depth, out);
  }
}

void RustPrefixTrie::common_prefix_search_utf8(std::string_view text, size_t start,
                                               std::vector<PrefixMatch>& out) const {
  out.clear();
  const size_t limit = depth_limit();
  uint32_t node = 0;
  const char* p = text.data() + start;
  const char* end = text.data() + text.size();
  for (size_t depth = 0; p < end && depth < limit;) {
    node = child(nodes_[node], utf8::decode(p));
    if (node == kNone) return;
    ++depth;
    add_match(nodes_[node], depth, out);
  }
}

}  // namespace brindlore
