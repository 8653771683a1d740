#include "core/trie.h"

#include <cmath>

#include "core/utf8.h"

namespace brindlore {
namespace {

bool starts_char(unsigned char byte) noexcept { return (byte & 0xC0) != 0x80; }

}  // namespace

RustPrefixTrie::RustPrefixTrie() : RustPrefixTrie(size_t{0}) {}

RustPrefixTrie::RustPrefixTrie(size_t cache_entries)
    : nodes_(1), seg_cache_(std::make_shared<SegCache>(cache_entries)) {}

RustPrefixTrie RustPrefixTrie::make_new(std::optional<uint64_t> max_subword_len) {
  RustPrefixTrie trie(SegCache::kPresizedEntries);
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

uint32_t RustPrefixTrie::walk_char(uint32_t node, char32_t c) const noexcept {
  char bytes[4];
  const size_t n = utf8::encode(c, bytes);
  for (size_t k = 0; k < n && node != kNone; ++k) {
    node = child(nodes_[node], static_cast<unsigned char>(bytes[k]));
  }
  return node;
}

Status RustPrefixTrie::insert_token(std::string_view token, std::optional<uint32_t> token_id,
                                    double log_p) {
  if (token.empty()) return make_error("token must not be empty");
  if (!std::isfinite(log_p)) return make_error("log_p must be finite");
  uint32_t node = 0;
  for (char c : token) node = child_or_create(node, static_cast<unsigned char>(c));
  TrieNode& leaf = nodes_[node];
  if (leaf.token_index == kNone) {
    leaf.token_index = static_cast<uint32_t>(tokens_.size());
    tokens_.emplace_back(token);
  }
  leaf.is_end = true;
  leaf.has_id = token_id.has_value();
  leaf.token_id = token_id.value_or(0);
  leaf.log_p = log_p;
  return Ok{};
}

std::optional<TokenMetadata> RustPrefixTrie::exact_metadata(std::string_view token) const {
  uint32_t node = 0;
  for (char c : token) {
    node = child(nodes_[node], static_cast<unsigned char>(c));
    if (node == kNone) return std::nullopt;
  }
  const TrieNode& leaf = nodes_[node];
  if (!leaf.is_end) return std::nullopt;
  return TokenMetadata{leaf.has_id ? std::optional<uint32_t>(leaf.token_id) : std::nullopt,
                       leaf.log_p};
}

void RustPrefixTrie::add_match(const TrieNode& node, size_t depth,
                               std::vector<PrefixMatch>& out) const {
  if (!node.is_end) return;
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
    node = child(nodes_[node], static_cast<unsigned char>(text[pos]));
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
    node = walk_char(node, chars[pos]);
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
  size_t depth = 0;
  for (size_t pos = start; pos < text.size(); ++pos) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (starts_char(byte)) {
      if (depth == limit) return;
      ++depth;
    }
    node = child(nodes_[node], byte);
    if (node == kNone) return;
    // Only the last byte of a token's last character can end at a terminal
    // node, so a match is always reported with the character count complete.
    add_match(nodes_[node], depth, out);
  }
}

}  // namespace brindlore
