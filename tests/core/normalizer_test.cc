#include "core/normalizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/normalizer_alignment.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

constexpr NormalizeSwitches kNoSwitches{false, false, false, false, false, false};
constexpr NormalizeSwitches kLowercaseOnly{false, false, false, true, false, false};

std::string utf8_of(const std::vector<char32_t>& cps) {
  std::string s;
  for (char32_t cp : cps) utf8::append(s, cp);
  return s;
}

// The counts by their definition: NFKC of every prefix, one at a time.
std::vector<size_t> quadratic_prefix_counts(const std::vector<char32_t>& cps) {
  std::vector<size_t> counts{0};
  std::string prefix;
  for (char32_t cp : cps) {
    utf8::append(prefix, cp);
    counts.push_back(utf8::count_chars(unicode::nfkc(prefix)));
  }
  return counts;
}

// The spans by their definition: every earlier output character is looked at
// for each input character.
std::vector<SourceSpan> quadratic_spans(const std::vector<size_t>& p, size_t m) {
  std::vector<SourceSpan> spans(m, SourceSpan{0, p.size() - 1});
  for (size_t i = 0; i + 1 < p.size(); ++i) {
    const size_t a = p[i], b = p[i + 1];
    for (size_t k = 0; k < m; ++k) {
      if (b > a && k >= a && k < b) spans[k] = {i, i + 1};
      if (b <= a && k < a && spans[k].end == i) spans[k].end = i + 1;
    }
  }
  return spans;
}

// Characters that make NFKC reach backwards or forwards: marks of many
// classes, jamo, syllables, ligatures, full-width forms, characters whose
// decomposition starts with a mark, starters that compose with a previous
// starter, long expansions and singletons.
const std::vector<char32_t> kHostile = {
    'a', 'e', 'A', ' ', 0x0391, 0x03B1, 0x0300, 0x0301, 0x0313, 0x0314, 0x0316, 0x0323,
    0x0327, 0x0328, 0x0342, 0x0345, 0x0308, 0x0304, 0x0306, 0x0302, 0x05B0, 0x0591, 0x0610,
    0x1DCE, 0x20D0, 0x0340, 0x0341, 0x0344, 0x0F71, 0x0F72, 0x0F73, 0x0F74, 0x0F75, 0x0F77,
    0x0F79, 0x0F80, 0x0F81, 0x0FB2, 0x0FB3, 0x1100, 0x1101, 0x1161, 0x1175, 0x11A8, 0x11C2,
    0xAC00, 0xAC01, 0x3131, 0x314F, 0xFB01, 0xFB03, 0xFF21, 0xFF41, 0xFF9E, 0x30AB, 0x3099,
    0x0B47, 0x0B3E, 0x0B57, 0x0CC6, 0x0CC2, 0x0CD5, 0x0DD9, 0x0DCF, 0x0DCA, 0x16D63, 0x16D67,
    0x16D68, 0x16D69, 0x1CCD6, 0xFDFA, 0x2026, 0x00A0, 0x3000, 0x212B, 0x1E9B, 0x0323, 0xE000,
    0x2581, 0x00BD, 0x2474, 0x1F82, 0x1FC1, 0x0385, 0x03D3, 0x11099, 0x110BA, 0x1D15E, 0x1D165};

std::vector<char32_t> random_text(std::mt19937& rng, const std::vector<char32_t>& pool,
                                  size_t max_len) {
  std::uniform_int_distribution<size_t> len(0, max_len), pick(0, pool.size() - 1);
  std::vector<char32_t> cps(len(rng));
  for (char32_t& cp : cps) cp = pool[pick(rng)];
  return cps;
}

void expect_counts_and_spans_match(const std::vector<char32_t>& cps) {
  const std::vector<size_t> expected = quadratic_prefix_counts(cps);
  const std::vector<size_t> counts = nfkc_prefix_counts(cps);
  ASSERT_EQ(counts, expected) << utf8_of(cps);
  const size_t m = utf8::count_chars(unicode::nfkc(utf8_of(cps)));
  ASSERT_EQ(nfkc_spans(counts, m), quadratic_spans(expected, m)) << utf8_of(cps);
}

TEST(NfkcPrefixCounts, MatchTheirDefinitionOnRandomHostileTexts) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 4000; ++round) {
    expect_counts_and_spans_match(random_text(rng, kHostile, 24));
  }
}

TEST(NfkcPrefixCounts, MatchTheirDefinitionOnRandomCodePoints) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> any(0, 0x10FFFF), bmp(0x300, 0x33FF);
  for (int round = 0; round < 2000; ++round) {
    std::vector<char32_t> cps(1 + round % 16);
    for (size_t i = 0; i < cps.size(); ++i) {
      char32_t cp = (i % 2) ? bmp(rng) : any(rng);
      if (cp >= 0xD800 && cp <= 0xDFFF) cp = 'x';
      cps[i] = cp;
    }
    expect_counts_and_spans_match(cps);
  }
}

// Long runs inside one piece: every mark after the first few of its class is
// carried only as a count.
TEST(NfkcPrefixCounts, MatchTheirDefinitionOnLongRuns) {
  std::mt19937 rng(3);
  const std::vector<char32_t> marks = {0x0300, 0x0301, 0x0316, 0x0323, 0x0327, 0x0345,
                                       0x0313, 0x0342, 0x0344, 0x0F73, 0x0F71, 0x0F72,
                                       0x05B0, 0x0591, 0x0340, 0x1DCE};
  const std::vector<std::vector<char32_t>> pools = {
      marks, {0x1161, 0x11A8, 0x1175}, {0x16D67, 0x16D63, 0x16D68}, {0x0DCF, 0x0DCA, 0x0DD9}};
  for (const auto& pool : pools) {
    for (char32_t base : {U'a', U'\u0391', U'\u1100', U'\U00016D63', U'\u0DD9', U'\u0F71'}) {
      std::vector<char32_t> cps{base};
      for (char32_t cp : random_text(rng, pool, 600)) cps.push_back(cp);
      cps.push_back(0x0316);
      cps.push_back(0x0301);
      expect_counts_and_spans_match(cps);
    }
  }
}

TEST(NfkcPrefixCounts, EmptyAndUnchangedTexts) {
  EXPECT_EQ(nfkc_prefix_counts({}), (std::vector<size_t>{0}));
  const std::vector<char32_t> plain = {'a', 0x00E9, ' ', 0xAC01};
  EXPECT_EQ(nfkc_prefix_counts(plain), (std::vector<size_t>{0, 1, 2, 3, 4}));
}

// A megabyte of marks after one starter counts in linear time; quadratic work
// would not finish in a test's lifetime.
TEST(NfkcPrefixCounts, MegabyteOfMarksAfterOneStarter) {
  std::vector<char32_t> cps{'a'};
  const char32_t cycle[] = {0x0301, 0x0316, 0x0345, 0x0300, 0x0323, 0x05B0};
  for (size_t i = 0; i < 500000; ++i) cps.push_back(cycle[i % 6]);
  const std::vector<size_t> counts = nfkc_prefix_counts(cps);
  EXPECT_EQ(counts.back(), utf8::count_chars(unicode::nfkc(utf8_of(cps))));
}

// Each ASCII character either ends the final-sigma context or not; the
// normalizer's piecewise lower-casing must agree with lower-casing the whole
// text at once.
TEST(Normalizer, LowerCasingAgreesWithWholeTextMapping) {
  std::vector<char32_t> pool = {0x03A3, 0x0391, 0x00B7, 0x2019, 0x0301, 0x0130, 0x00C9, 0x1E9E};
  for (char32_t c = 0x21; c < 0x7F; ++c) pool.push_back(c);
  std::mt19937 rng(11);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = utf8_of(random_text(rng, pool, 10));
    std::string expected;
    unicode::to_lower_full(text, expected);
    auto got = normalize_inner(text, 0x2581, kLowercaseOnly);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, expected) << text;
  }
}

TEST(Normalizer, ReservedSpaceCharacterFailsBeforeAnyWork) {
  for (char32_t reserved : {char32_t{0xE000}, char32_t{0xE001}}) {
    auto out = normalize_inner("", reserved, kNoSwitches);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message, "space_char conflicts with reserved metaspace escape characters");
    auto aligned = normalize_with_alignment("a b", reserved, kNoSwitches);
    ASSERT_FALSE(aligned.ok());
    EXPECT_EQ(aligned.error().message, out.error().message);
  }
  EXPECT_TRUE(normalize_inner("", 0xE002, kNoSwitches).ok());
}

// The escaping works on bytes with a lead-byte table; a space character that
// shares its lead byte with U+E000, or is ASCII, must still be told apart.
TEST(Normalizer, EscapingWithUnusualSpaceCharacters) {
  const std::string text = "a b\xEE\x80\x80_\xEE\x80\x82\xEE\x80\x81";
  auto underscore = normalize_inner(text, '_', kNoSwitches);
  EXPECT_EQ(*underscore, "a_b\xEE\x80\x80\xEE\x80\x80\xEE\x80\x80\xEE\x80\x81\xEE\x80\x82\xEE\x80\x81");
  auto private_use = normalize_inner(text, 0xE002, kNoSwitches);
  EXPECT_EQ(*private_use,
            "a\xEE\x80\x82"
            "b\xEE\x80\x80\xEE\x80\x80_\xEE\x80\x80\xEE\x80\x81\xEE\x80\x81");
}

// The escaping, the Unicode spaces and NFKC one character at a time.
std::string steps_by_characters(const std::vector<char32_t>& cps, char32_t space_char,
                                const NormalizeSwitches& switches) {
  std::vector<char32_t> formed;
  utf8::to_code_points(switches.normalize_unicode ? unicode::nfkc(utf8_of(cps)) : utf8_of(cps),
                       formed);
  std::vector<char32_t> escaped;
  for (char32_t cp : formed) {
    if (switches.normalize_unicode_spaces && is_unicode_space(cp)) cp = ' ';
    if (cp == kEscapePrefix) {
      escaped.insert(escaped.end(), {kEscapePrefix, kEscapePrefix});
    } else if (cp == space_char) {
      escaped.insert(escaped.end(), {kEscapePrefix, kEscapedSpace});
    } else {
      escaped.push_back(cp == ' ' ? space_char : cp);
    }
  }
  return utf8_of(escaped);
}

// Normalization without the later steps runs as one pass that copies whole
// words and stops at spaces, the space character and non-ASCII bytes: every
// stop lands at every offset of a word, at the text's end and in its tail.
TEST(Normalizer, OnePassEqualsTheStepsOnRandomTexts) {
  const std::vector<char32_t> pool = {
      'a',    'b',    'c',    'd',    'e',    'f',    'g',     'h',    'i',    'j',    'Z',
      '.',    ' ',    ' ',    '_',    'x',    0xE000, 0xE001,  0xE002, 0x2581, 0x00A0, 0x3000,
      0x2002, 0x00E9, 0x0301, 0x0323, 0x0416, 0xFB01, 0x1F600, 0x1100, 0x1161};
  std::mt19937 rng(4242);
  for (char32_t space_char :
       {char32_t{0x2581}, char32_t{' '}, char32_t{'_'}, char32_t{'x'}, char32_t{0xE002},
        char32_t{0x00A0}, char32_t{0x3000}, char32_t{0x1F600}}) {
    for (int round = 0; round < 4000; ++round) {
      const NormalizeSwitches switches{
          (round & 1) != 0, (round & 2) != 0, false, false, false, false};
      const std::vector<char32_t> cps = random_text(rng, pool, 40);
      auto got = normalize_inner(utf8_of(cps), space_char, switches);
      ASSERT_EQ(*got, steps_by_characters(cps, space_char, switches))
          << utf8_of(cps) << " space " << uint32_t(space_char) << " round " << round;
    }
  }
}

}  // namespace
}  // namespace brindlore
