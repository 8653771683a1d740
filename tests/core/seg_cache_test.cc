// The cache policy of tokenizers and C handles, which keeps the pieces that
// repeat (the rules of a trie's own cache are tested in trie_test.cc).
#include "core/seg_cache.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/rust_tokenizer.h"
#include "core/trie.h"
#include "core/viterbi.h"

namespace brindlore {
namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

// Spans that only `key` gets: 1 to 40 of them, codes and ids from the key.
std::vector<CachedSpan> spans_of(const std::string& key) {
  const size_t h = std::hash<std::string>{}(key);
  std::vector<CachedSpan> spans(1 + h % 40);
  for (size_t i = 0; i < spans.size(); ++i) {
    spans[i] = CachedSpan::make(static_cast<uint32_t>((h >> 8) + i) & 0xFFFFFF,
                                static_cast<uint32_t>(h + i));
  }
  return spans;
}

Pairs pairs(std::span<const CachedSpan> spans) {
  Pairs out;
  for (const CachedSpan& span : spans) out.emplace_back(span.code, span.id);
  return out;
}

// 64 entries and 8 KiB per shard, for its index, its bitmap and its blocks:
// the blocks fill up before the entries, and grow to 4 KiB; the next block
// would fit beside them only without the index and the bitmap.
constexpr SegCache::Limits kSmall{SegCache::Policy::kKeepRepeats, SegCache::kShards * 64,
                                  SegCache::kShards * 8192};

// Finds `key` and checks what it finds; false on a miss.
bool found_exactly(const SegCache& cache, const std::string& key) {
  InlineIds ids;
  SpanList spans;
  if (!cache.find(cache.probe(true, key), true, ids, spans)) return false;
  EXPECT_EQ(pairs(spans.view()), pairs(spans_of(key))) << key;
  return true;
}

void expect_within(const SegCache& cache, const SegCache::Limits& limits) {
  EXPECT_LE(cache.bytes_taken(), limits.max_bytes);
  EXPECT_LE(cache.size(), limits.max_entries);
}

// Pieces come, are moved by the clock and leave; every hit must still give
// the spans stored for its key, and the cache must stay within its limits,
// also after they shrink.
TEST(SegCacheKeepingRepeats, HitsStayExactAndMemoryBounded) {
  SegCache cache(0, kSmall);
  std::mt19937 rng(5);
  size_t hits = 0;
  for (size_t i = 1; i <= 60000; ++i) {
    const std::string key = std::to_string(rng() % 20000);
    if (found_exactly(cache, key)) {
      ++hits;
    } else {
      cache.store(cache.probe(true, key), spans_of(key));
    }
    if (i % 10000 == 0) expect_within(cache, kSmall);
  }
  EXPECT_GT(hits, 1000u);
  SegCache::Limits smaller = kSmall;
  smaller.max_bytes /= 2;
  cache.set_limits(smaller);
  expect_within(cache, smaller);
  size_t kept = 0;
  for (size_t k = 0; k < 20000; ++k) kept += found_exactly(cache, std::to_string(k));
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(kept, cache.size());
}

// A stream of pieces, each seen twice, passes through the full cache; the
// pieces looked up all along stay.
TEST(SegCacheKeepingRepeats, KeepsWhatRepeats) {
  SegCache cache(0, kSmall);
  std::vector<std::string> hot;
  for (size_t k = 0; k < 256; ++k) {
    hot.push_back("hot" + std::to_string(k));
    ASSERT_TRUE(cache.store(cache.probe(true, hot.back()), spans_of(hot.back())));
  }
  size_t stored = 0;
  for (size_t i = 0; i < 40000; ++i) {
    const std::string key = "cold" + std::to_string(i);
    ASSERT_FALSE(found_exactly(cache, key));
    cache.store(cache.probe(true, key), spans_of(key));
    stored += cache.store(cache.probe(true, key), spans_of(key));
    if (i % 64 == 0) {
      for (const std::string& h : hot) ASSERT_TRUE(found_exactly(cache, h)) << h << " at " << i;
    }
  }
  EXPECT_GT(stored, 10000u);  // the clock turned many times
  expect_within(cache, kSmall);
}

std::vector<std::string> tokens_of(const CachedPiece& piece, const RustPrefixTrie& trie) {
  std::vector<std::string> out;
  BytePieceText buffer(0);
  for (const CachedSpan& span : piece.span_list()) out.emplace_back(span_text(span, trie, buffer));
  return out;
}

// A tokenizer's cache serves only the current vocabulary's decode, through
// every layer: clearing it, inserting a token and changing the length limit
// each leave nothing of what was decoded before.
TEST(SegCacheKeepingRepeats, NeverServesAStaleSegmentation) {
  RustPrefixTrie trie = make_tokenizer_trie();
  ASSERT_TRUE(trie.insert_token("a", 1u, -2.0).ok());
  ASSERT_TRUE(trie.insert_token("b", 2u, -2.0).ok());
  // Token texts come through the thread's front cache, ids (inline: at most
  // four) through the table every thread shares.
  auto decodes = [&] {
    std::pair<std::vector<std::string>, std::vector<uint32_t>> out;
    Result<CachedPiece> piece = decode_cached_here("abab", trie, true, true);
    EXPECT_TRUE(piece.ok());
    out.first = tokens_of(*piece, trie);
    piece = decode_cached_here("abab", trie, true, false);
    EXPECT_TRUE(piece.ok());
    out.second.assign(piece->ids->ids, piece->ids->ids + piece->ids->count);
    return out;
  };
  using Expected = std::pair<std::vector<std::string>, std::vector<uint32_t>>;
  const Expected single{{"a", "b", "a", "b"}, {1, 2, 1, 2}};
  const Expected pairs_of_two{{"ab", "ab"}, {3, 3}};
  auto expect_decodes = [&](const Expected& expected) {
    EXPECT_EQ(decodes(), expected);  // a miss
    EXPECT_EQ(decodes(), expected);  // the layers' hits
  };
  expect_decodes(single);
  trie.seg_cache().clear();
  EXPECT_EQ(trie.seg_cache().size(), 0u);
  EXPECT_EQ(trie.seg_cache().lookup(true, "abab"), nullptr);
  expect_decodes(single);
  ASSERT_TRUE(trie.insert_token("ab", 3u, -1.0).ok());
  expect_decodes(pairs_of_two);
  trie.set_max_subword_len(1);
  expect_decodes(single);
  trie.set_max_subword_len(std::nullopt);
  expect_decodes(pairs_of_two);
}

}  // namespace
}  // namespace brindlore
