#include "core/trie.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace brindlore {
namespace {

std::vector<std::pair<std::string, size_t>> search_ascii(const RustPrefixTrie& trie,
                                                         std::string_view text, size_t start = 0) {
  std::vector<PrefixMatch> out;
  trie.common_prefix_search_ascii(text, start, out);
  std::vector<std::pair<std::string, size_t>> result;
  for (const auto& m : out) result.emplace_back(*m.token, m.length);
  return result;
}

TEST(Trie, RefusesEmptyTokenBeforeCheckingScore) {
  RustPrefixTrie trie;
  auto status = trie.insert_token("", std::nullopt, std::nan(""));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "token must not be empty");
  status = trie.insert_token("a", 1, std::numeric_limits<double>::infinity());
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message, "log_p must be finite");
  EXPECT_FALSE(trie.exact_metadata("a").has_value());
}

TEST(Trie, ExactMetadataFindsOnlyInsertedTokens) {
  RustPrefixTrie trie;
  ASSERT_TRUE(trie.insert_token("ab", 7, -2.0).ok());
  auto meta = trie.exact_metadata("ab");
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->token_id, 7u);
  EXPECT_EQ(meta->log_p, -2.0);
  EXPECT_FALSE(trie.exact_metadata("a").has_value());
  EXPECT_FALSE(trie.exact_metadata("").has_value());
}

TEST(Trie, ReinsertionReplacesIdAndScore) {
  RustPrefixTrie trie;
  ASSERT_TRUE(trie.insert_token("x", 5, -1.0).ok());
  ASSERT_TRUE(trie.insert_token("x", std::nullopt, -3.0).ok());
  auto meta = trie.exact_metadata("x");
  ASSERT_TRUE(meta.has_value());
  EXPECT_FALSE(meta->token_id.has_value());
  EXPECT_EQ(meta->log_p, -3.0);
}

TEST(Trie, SearchRespectsLimit) {
  RustPrefixTrie trie;
  for (const char* t : {"a", "ab", "abc"}) ASSERT_TRUE(trie.insert_token(t, 1, -1.0).ok());
  using V = std::vector<std::pair<std::string, size_t>>;
  EXPECT_EQ(search_ascii(trie, "abcd"), (V{{"a", 1}, {"ab", 2}, {"abc", 3}}));
  trie.set_max_subword_len(2);
  EXPECT_EQ(search_ascii(trie, "abcd"), (V{{"a", 1}, {"ab", 2}}));
  trie.set_max_subword_len(0);
  EXPECT_EQ(search_ascii(trie, "abcd"), V{});
  trie.set_max_subword_len(std::nullopt);
  EXPECT_EQ(search_ascii(trie, "abcd", 4), V{});
}

// Many ASCII children move a node from its inline slots to a table; both
// layouts must find the same children.
TEST(Trie, WideAsciiFanoutAndNonAsciiChildren) {
  RustPrefixTrie trie;
  std::string letters = "abcdefghijklmnopqrstuvwxyz";
  for (char c : letters) ASSERT_TRUE(trie.insert_token(std::string("q") + c, c, -1.0).ok());
  ASSERT_TRUE(trie.insert_token("q\xF0\x9F\x98\x80", 999, -1.0).ok());  // q + U+1F600
  for (char c : letters) {
    auto meta = trie.exact_metadata(std::string("q") + c);
    ASSERT_TRUE(meta.has_value()) << c;
    EXPECT_EQ(meta->token_id, static_cast<uint32_t>(c));
  }
  std::vector<PrefixMatch> out;
  std::u32string chars = U"q\U0001F600";
  trie.common_prefix_search_chars(chars.data(), chars.size(), 0, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].length, 2u);
  trie.common_prefix_search_utf8("q\xF0\x9F\x98\x80z", 0, out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].length, 2u);
}

TEST(SegCache, PresizedAndEmptyCaches) {
  RustPrefixTrie made = RustPrefixTrie::make_new(std::nullopt);
  EXPECT_GE(made.seg_cache().capacity(), SegCache::kPresizedEntries);
  RustPrefixTrie plain;
  EXPECT_EQ(plain.seg_cache().capacity(), 0u);
}

TEST(SegCache, EmptiesOnlyOnTheWayToANewKey) {
  SegCache cache(0);
  auto seg = std::make_shared<const CachedSegmentation>();
  for (size_t i = 0; i < SegCache::kMaxEntries; ++i) cache.store(true, std::to_string(i), seg);
  EXPECT_EQ(cache.size(), SegCache::kMaxEntries);
  cache.store(true, "0", seg);  // replacing keeps everything
  EXPECT_EQ(cache.size(), SegCache::kMaxEntries);
  cache.store(false, "0", seg);  // a new key (other flag) empties first
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_NE(cache.lookup(false, "0"), nullptr);
  EXPECT_EQ(cache.lookup(true, "0"), nullptr);
  size_t capacity = cache.capacity();
  cache.clear();
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.capacity(), capacity);
}

}  // namespace
}  // namespace brindlore
