#include "core/viterbi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/debug_quote.h"
#include "core/parallel.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

std::vector<std::tuple<std::string, std::optional<uint32_t>, size_t, size_t>> flat(
    const std::vector<ViterbiSpan>& spans) {
  std::vector<std::tuple<std::string, std::optional<uint32_t>, size_t, size_t>> out;
  for (const ViterbiSpan& s : spans) out.emplace_back(s.token, s.token_id, s.start, s.end);
  return out;
}

std::string message_of(const Result<std::vector<ViterbiSpan>>& r) {
  return r.ok() ? std::string("ok") : r.error().message;
}

// Random vocabularies over a small alphabet (ASCII and not), with score ties,
// and random texts: the fused unpruned decode must equal the decode over
// per-end edge lists with a limit no list reaches, and the ASCII decoder must
// equal the code-point decoder.
TEST(Viterbi, FusedAndListDecodesAgree) {
  std::mt19937_64 rng(12345);
  const std::vector<std::string> letters = {"a", "b", "c", "\xC3\xA9", "\xE2\x96\x81"};
  for (int round = 0; round < 300; ++round) {
    const auto limit = round % 7 == 0 ? std::optional<uint64_t>(2) : std::nullopt;
    RustPrefixTrie trie = RustPrefixTrie::make_new(limit);
    const size_t alphabet = round % 2 ? 3 : letters.size();
    for (int k = 0; k < 25; ++k) {
      std::string token;
      for (size_t len = 1 + rng() % 4; len > 0; --len) token += letters[rng() % alphabet];
      const double score = -static_cast<double>(rng() % 4);
      const std::optional<uint32_t> id = k % 5 ? std::optional<uint32_t>(k) : std::nullopt;
      ASSERT_TRUE(trie.insert_token(token, id, score).ok());
    }
    if (round % 3 == 0) {
      ASSERT_TRUE(trie.insert_token("<0x63>", 99u, -3.0).ok());
    }
    for (int t = 0; t < 20; ++t) {
      std::string text;
      // One letter more than the vocabulary uses, so that some are unknown.
      const size_t used = std::min(alphabet + 1, letters.size());
      for (size_t len = rng() % 12; len > 0; --len) text += letters[rng() % used];
      for (bool fallback : {false, true}) {
        auto fused = viterbi_decode(text, trie, fallback, std::nullopt);
        auto listed = viterbi_decode(text, trie, fallback, UINT64_MAX);
        ASSERT_EQ(message_of(fused), message_of(listed)) << text;
        if (fused.ok()) {
          EXPECT_EQ(flat(*fused), flat(*listed)) << text;
        }
        std::vector<char32_t> chars;
        utf8::to_code_points(text, chars);
        auto by_chars = viterbi_decode_chars(chars, trie, fallback, std::nullopt);
        ASSERT_EQ(message_of(fused), message_of(by_chars));
        if (fused.ok()) {
          EXPECT_EQ(flat(*fused), flat(*by_chars)) << text;
        }
        if (utf8::is_ascii(text)) {
          auto by_bytes = viterbi_decode_ascii(text, trie, fallback, 1);
          auto chars_pruned = viterbi_decode_chars(chars, trie, fallback, 1);
          ASSERT_EQ(message_of(by_bytes), message_of(chars_pruned));
          if (by_bytes.ok()) {
            EXPECT_EQ(flat(*by_bytes), flat(*chars_pruned));
          }
        }
      }
    }
  }
}

// Edges longer than the pruned decoder's initial window make it grow while
// edges are pending; the result must not change.
TEST(Viterbi, LongTokensUnderALimitNoListReaches) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  std::mt19937_64 rng(7);
  for (size_t len : {1, 2, 3, 5, 63, 64, 65, 100, 130, 257, 300}) {
    const double score = -static_cast<double>(rng() % 50) / 7;
    ASSERT_TRUE(trie.insert_token(std::string(len, 'a'), uint32_t(len), score).ok());
    ASSERT_TRUE(trie.insert_token(std::string(len, 'a') + "b", std::nullopt, -double(len)).ok());
  }
  for (size_t n : {0, 1, 64, 65, 200, 301, 777}) {
    std::string text(n, 'a');
    if (n > 100) text[n / 2] = 'b';
    auto fused = viterbi_decode(text, trie, true, std::nullopt);
    auto windowed = viterbi_decode(text, trie, true, UINT64_MAX);
    ASSERT_TRUE(fused.ok() && windowed.ok());
    EXPECT_EQ(flat(*fused), flat(*windowed)) << n;
  }
}

TEST(Viterbi, SpansCoverTheTextWithByteFallback) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  ASSERT_TRUE(trie.insert_token("ab", 1u, -1.0).ok());
  auto r = viterbi_decode("ab\xE6\x97\xA5" "ab", trie, true, std::nullopt);
  ASSERT_TRUE(r.ok());
  size_t end = 0;
  for (const ViterbiSpan& s : *r) {
    EXPECT_TRUE(s.start == end || (s.start + 1 == end && s.end == end));
    EXPECT_GT(s.end, s.start);
    end = s.end;
  }
  EXPECT_EQ(end, 5u);
  EXPECT_EQ(r->size(), 5u);
}

// Byte fallback reads the trie's table of byte pieces, which must follow
// every insert that adds a byte piece or gives it a new score or id, ignore
// texts that only look like one, and stay with its trie when another trie
// replaces it.
TEST(Viterbi, ByteFallbackFollowsInsertsOfBytePieces) {
  using Spans = std::vector<std::tuple<std::string, std::optional<uint32_t>, size_t, size_t>>;
  const std::optional<uint32_t> none;
  RustPrefixTrie trie;
  auto insert = [&](std::string_view token, std::optional<uint32_t> id, double log_p) {
    ASSERT_TRUE(trie.insert_token(token, id, log_p).ok());
  };
  auto decode = [&] {
    auto r = viterbi_decode("ab\xC3\xA9", trie, true, std::nullopt);  // "abé"
    return r.ok() ? flat(*r) : Spans{};
  };
  auto words = [&] {
    insert("a", 1u, -1.0);
    insert("ab", 2u, -2.0);
  };
  // "a" + "<0x62>" wins over "ab" (-2.0) when "<0x62>" scores above -1.0.
  auto via_a = [&](std::optional<uint32_t> id62, std::optional<uint32_t> id_c3) {
    return Spans{{"a", 1u, 0, 1}, {"<0x62>", id62, 1, 2}, {"<0xC3>", id_c3, 2, 3},
                 {"<0xA9>", none, 2, 3}};
  };
  auto via_ab = [&](std::optional<uint32_t> id_c3) {
    return Spans{{"ab", 2u, 0, 2}, {"<0xC3>", id_c3, 2, 3}, {"<0xA9>", none, 2, 3}};
  };
  words();
  EXPECT_EQ(decode(), via_ab(none));  // unknown pieces score -10.0
  insert("<0x62>", 62u, -0.5);
  EXPECT_EQ(decode(), via_a(62u, none));
  insert("<0x62>", 62u, -5.0);
  EXPECT_EQ(decode(), via_ab(none));
  insert("<0xC3>", 7u, -1.5);
  EXPECT_EQ(decode(), via_ab(7u));
  insert("<0xC3>", none, -1.5);
  EXPECT_EQ(decode(), via_ab(none));
  insert("<0xC3>", 8u, -1.5);
  insert("<0x62>", none, -0.5);
  EXPECT_EQ(decode(), via_a(none, 8u));
  insert("<0xc3>", 9u, -1.5);  // lower-case hex: an ordinary token
  insert("<0x62 ", 9u, -0.1);
  EXPECT_EQ(decode(), via_a(none, 8u));
  trie = RustPrefixTrie();
  words();
  EXPECT_EQ(decode(), via_ab(none));
}

TEST(Viterbi, BytePieces) {
  EXPECT_EQ(byte_piece(0x0A), "<0x0A>");
  EXPECT_EQ(byte_piece(0xE3), "<0xE3>");
  EXPECT_EQ(byte_piece(0x00), "<0x00>");
}

TEST(Viterbi, EmptyPiecesLeaveTheCacheAlone) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  auto seg = decode_cached("", trie, false);
  ASSERT_TRUE(seg.ok());
  EXPECT_TRUE((*seg)->spans.empty());
  EXPECT_EQ(trie.seg_cache().size(), 0u);
}

TEST(Viterbi, CachedSegmentationsAreShared) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  ASSERT_TRUE(trie.insert_token("a", 1u, -1.0).ok());
  auto first = decode_cached("aa", trie, false);
  auto second = decode_cached("aa", trie, false);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(first->get(), second->get());
  trie.seg_cache().clear();
  EXPECT_EQ((*first)->spans.size(), 2u);
  EXPECT_EQ(spans_from_cached(**first, trie).size(), 2u);
}

// Workers decode through one cache while another thread empties it; every
// result must equal the uncached decode.
TEST(Viterbi, ConcurrentCachedDecodes) {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  for (const char* t : {"a", "b", "ab", "ba", "\xE2\x96\x81" "a", "bab"}) {
    ASSERT_TRUE(trie.insert_token(t, 1u, -1.5).ok());
  }
  std::vector<std::string> texts;
  for (size_t i = 0; i < 2000; ++i) {
    texts.push_back(std::string(i % 7, 'a') + "b\xE2\x96\x81" + std::to_string(i % 50));
  }
  std::atomic<bool> done{false};
  std::thread clearer([&] {
    while (!done.load()) trie.seg_cache().clear();
  });
  for (int round = 0; round < 5; ++round) {
    auto r = parallel_map<SegmentationRef>(texts.size(), [&](size_t i) {
      return decode_cached(texts[i], trie, true);
    });
    ASSERT_TRUE(r.ok());
    for (size_t i = 0; i < texts.size(); ++i) {
      auto direct = viterbi_decode(texts[i], trie, true, std::nullopt);
      ASSERT_TRUE(direct.ok());
      EXPECT_EQ(flat(spans_from_cached(*(*r)[i], trie)), flat(*direct));
    }
  }
  done = true;
  clearer.join();
}

TEST(DebugQuote, EscapesWhatWouldBeInvisible) {
  struct Case {
    const char* text;
    const char* quoted;
  };
  for (const Case& c : {
           Case{"plain", "\"plain\""},
           Case{"a\"b\\c", "\"a\\\"b\\\\c\""},
           Case{"\t\r\n", "\"\\t\\r\\n\""},
           Case{"\xC2\xA0", "\"\\u{a0}\""},               // NO-BREAK SPACE, Zs
           Case{"\xE3\x80\x80", "\"\\u{3000}\""},         // IDEOGRAPHIC SPACE, Zs
           Case{"\xCC\x81", "\"\\u{301}\""},              // combining acute, Grapheme_Extend
           Case{"\xE2\x80\x8D", "\"\\u{200d}\""},         // ZERO WIDTH JOINER, Cf
           Case{"\xEF\xBF\xBF", "\"\\u{ffff}\""},         // noncharacter, Cn
           Case{"\xF3\xB0\x80\x80", "\"\\u{f0000}\""},    // private use, Co
           Case{"\xE0\xA4\x95\xE0\xA5\x8D", "\"\xE0\xA4\x95\\u{94d}\""},  // virama extends
           Case{"\xE2\x96\x81'", "\"\xE2\x96\x81'\""},
       }) {
    EXPECT_EQ(debug_quote(c.text), c.quoted) << c.text;
  }
  EXPECT_EQ(debug_quote(std::string_view("\0", 1)), "\"\\0\"");
  EXPECT_EQ(missing_id_error("f: ", "x").message, "f: decoded token \"x\" has no integer ID");
}

}  // namespace
}  // namespace brindlore
