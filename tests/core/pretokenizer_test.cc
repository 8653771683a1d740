#include "core/pretokenizer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/unicode/unicode.h"
#include "core/utf8.h"
#include "support/pretok_reference.h"
#include "support/row_names.h"

namespace brindlore {
namespace {

using Pieces = std::vector<std::string>;
using Kind = PretokPattern::Kind;

const PretokPattern& pattern_of(Kind kind) {
  return kind == Kind::full ? get_full_pretok_regex() : get_pretok_regex();
}

// PCRE2 running the translated pattern text, built once per kind.
const Pcre2Pattern& reference(Kind kind) {
  static auto build = [](Kind k) {
    auto compiled = Pcre2Pattern::compile(translate_for_pcre2(pattern_of(k).source()));
    if (!compiled) ADD_FAILURE() << compiled.error().message;
    return std::move(compiled).value();
  };
  static const auto full = build(Kind::full);
  static const auto plain = build(Kind::plain);
  return kind == Kind::full ? *full : *plain;
}

Pieces texts_of(std::string_view text, const std::vector<ByteRange>& ranges) {
  Pieces out;
  for (const ByteRange& r : ranges) out.emplace_back(text.substr(r.start, r.end - r.start));
  return out;
}

Pieces matches(Kind kind, std::string_view text) {
  std::vector<ByteRange> ranges;
  pattern_of(kind).find_all(text, ranges);
  return texts_of(text, ranges);
}

std::vector<ByteRange> reference_matches(Kind kind, std::string_view text) {
  std::vector<ByteRange> ranges;
  Status status = reference(kind).find_all(text, ranges);
  EXPECT_TRUE(status.ok()) << status.error().message;
  return ranges;
}

std::string repeat(std::string_view unit, size_t bytes) {
  std::string out;
  out.reserve(bytes + unit.size());
  while (out.size() < bytes) out.append(unit);
  return out;
}

// ---- The pattern texts ----

TEST(PretokPatterns, TextsHaveTheirExactLengths) {
  std::string_view full = get_full_pretok_regex().source();
  EXPECT_EQ(full.size(), 704u);
  EXPECT_EQ(utf8::count_chars(full), 680u);
  EXPECT_EQ(full, full_pretok_pattern_text());
  std::string_view plain = get_pretok_regex().source();
  EXPECT_EQ(plain.size(), 87u);
  EXPECT_EQ(utf8::count_chars(plain), 85u);
  EXPECT_TRUE(full.starts_with("(?:<\\|[^\\s|]+\\|>)|(?:https?://"));
  EXPECT_TRUE(full.ends_with("|(?:\u2581?[^\\p{L}\\p{N}_\\s\\x1c-\\x1f\u2581]|\u2581?_)"));
  EXPECT_NE(full.find("|(?:\u2581+)|(?:[\\s\\x1c-\\x1f]+)|"), full.npos);
}

TEST(PretokPatterns, BuiltOnceAndSharedAcrossThreads) {
  std::vector<const PretokPattern*> seen(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      seen[i] = i % 2 ? &get_full_pretok_regex() : &get_pretok_regex();
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], i % 2 ? &get_full_pretok_regex() : &get_pretok_regex());
  }
  EXPECT_EQ(get_full_pretok_regex().kind(), Kind::full);
}

TEST(PretokPatterns, TranslationForPcre2) {
  EXPECT_EQ(translate_for_pcre2(R"([^\s|]\d\u{2581}\u4e00\U0001F300\x1c\+)"),
            R"([^\x{9}-\x{D}\x{20}\x{85}\x{A0}\x{1680}\x{2000}-\x{200A}\x{2028}\x{2029}\x{202F}\x{205F}\x{3000}|])"
            R"(\p{Nd}\x{2581}\x{4e00}\x{0001F300}\x1c\+)");
  EXPECT_EQ(translate_for_pcre2(R"(a\b)"),
            "a(?:(?<=[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}])"
            "(?![\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}])|"
            "(?<![\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}])"
            "(?=[\\p{Alphabetic}\\p{M}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}]))");
}

// ---- Listed cases ----

struct Case {
  Kind kind;
  std::string text;
  Pieces pieces;
};

const char* kind_name(Kind kind) { return kind == Kind::full ? "full" : "plain"; }

void PrintTo(const Case& c, std::ostream* os) {
  *os << kind_name(c.kind) << ' ' << ascii_quoted(c.text);
}

std::string case_name(const testing::TestParamInfo<Case>& info) {
  return row_name(std::string(kind_name(info.param.kind)) + "_", info.index, info.param.text);
}

class PatternCases : public testing::TestWithParam<Case> {};

TEST_P(PatternCases, MatchesAsListed) {
  const Case& c = GetParam();
  EXPECT_EQ(matches(c.kind, c.text), c.pieces);
  EXPECT_EQ(texts_of(c.text, reference_matches(c.kind, c.text)), c.pieces);
}

const Kind F = Kind::full;
const Kind P = Kind::plain;
#define SP "\u2581"

INSTANTIATE_TEST_SUITE_P(
    Listed, PatternCases,
    testing::Values(
        Case{F, "!!<|a|>", {"!", "!", "<|a|>"}}, Case{P, "!!<|a|>", {"!!<|", "a", "|>"}},
        Case{F, "x<|ab|>y", {"x", "<|ab|>", "y"}}, Case{P, "x<|ab|>y", {"x", "<|ab|>", "y"}},
        Case{F, "<|a b|>", {"<", "|", "a", " ", "b", "|", ">"}},
        Case{P, "<|a b|>", {"<|", "a", " ", "b", "|>"}},
        Case{F, "<||>", {"<", "|", "|", ">"}}, Case{P, "<||>", {"<||>"}},
        Case{F, "https://example.com/a/b?q=1", {"https://example.com/a/b?q=1"}},
        Case{F, "(http://ex.org/x", {"(", "http://ex.org/x"}},
        Case{F, SP "https://ex.com/wiki",
             {SP "https", ":", "/", "/", "ex", ".", "com", "/", "wiki"}},
        Case{F, "https://example.com)", {"https://example.com)"}},
        Case{F, "HTTPS://example.com", {"HTTPS", ":", "/", "/", "example", ".", "com"}},
        Case{F, "http://a.com", {"http", ":", "/", "/", "a", ".", "com"}},
        Case{F, "http://a.b.cd", {"http://a.b.cd"}},
        Case{F, "john@example.com", {"john@example.com"}},
        Case{F, SP "john@example.com", {SP "john", "@example", ".", "com"}},
        Case{F, SP "abc" SP "def", {SP "abc", SP "def"}}, Case{F, SP SP "abc", {SP SP, "abc"}},
        Case{F, SP ".", {SP, "."}}, Case{F, SP "_", {SP, "_"}}, Case{F, "a_b", {"a", "_", "b"}},
        Case{F, SP "#tag_1", {SP "#tag_1"}}, Case{F, SP "#", {SP, "#"}},
        Case{P, SP "abc" SP "def", {SP, "abc", SP, "def"}},
        Case{F, SP "don't", {SP "don't"}}, Case{F, "it\u2019s", {"it\u2019s"}},
        Case{P, "it\u2019s", {"it\u2019s"}}, Case{F, "ab'cd'", {"ab'cd", "'"}},
        Case{P, "ab'cd'", {"ab'cd", "'"}}, Case{F, "12345", {"123", "45"}},
        Case{P, "12345", {"123", "45"}}, Case{F, SP "0x1Fz", {SP "0x1F", "z"}},
        Case{F, "0b102", {"0b10", "2"}},
        Case{F, SP "\u0661\u0662\u0663\u0664", {SP "\u0661\u0662\u0663", "\u0664"}},
        Case{F, SP "\u2160x", {SP "\u2160x"}}, Case{F, "\u00bdx", {"\u00bdx"}},
        Case{F, "\u6f22\u5b57abc", {"\u6f22\u5b57", "abc"}},
        Case{F, "abc\u6f22\u5b57", {"abc\u6f22\u5b57"}},
        Case{P, "\u6f22\u5b57abc", {"\u6f22\u5b57abc"}},
        Case{P, "abc\u6f22\u5b57", {"abc\u6f22\u5b57"}}, Case{F, "e\u0301", {"e", "\u0301"}},
        Case{P, "e\u0301", {"e", "\u0301"}},
        Case{F, "\U0001F44D\U0001F3FD", {"\U0001F44D\U0001F3FD"}},
        Case{F, "\U0001F468\u200D\U0001F469", {"\U0001F468\u200D\U0001F469"}},
        Case{F, "\U0001F1FA\U0001F1F8", {"\U0001F1FA", "\U0001F1F8"}},
        Case{P, "\U0001F1FA\U0001F1F8", {"\U0001F1FA\U0001F1F8"}},
        Case{F, "#\U0001F600", {"#", "\U0001F600"}},
        Case{F, SP "\U0001F600", {SP, "\U0001F600"}},
        Case{F, "a\x1c" "b", {"a", "\x1c", "b"}}, Case{P, "!\x1c", {"!\x1c"}},
        Case{F, "!\x1c", {"!", "\x1c"}}, Case{F, "", {}}, Case{P, "", {}},
        Case{F, SP SP SP, {SP SP SP}}, Case{P, SP SP SP, {SP SP SP}},
        Case{F, "a\r\n\x1f b", {"a", "\r\n\x1f ", "b"}}, Case{P, "a\r\n b", {"a", "\r\n ", "b"}},
        Case{F, "\u180e", {"\u180e"}}, Case{P, " \u180e", {" ", "\u180e"}}),
    case_name);

// ---- Snapping ----

class SnapCases : public testing::TestWithParam<Case> {};

TEST_P(SnapCases, PiecesAsListed) {
  const Case& c = GetParam();
  EXPECT_EQ(snapped_pretokens(c.text, pattern_of(c.kind)), c.pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Listed, SnapCases,
    testing::Values(
        Case{F, "", {}}, Case{P, "", {}},
        Case{F, "ab 12!", {"ab", " ", "12", "!"}},
        Case{F, "e\u0301", {"e\u0301"}}, Case{P, "e\u0301", {"e\u0301"}},
        Case{F, "\u0301abc def", {"\u0301abc", " ", "def"}},
        Case{P, "\u0301abc", {"\u0301abc"}}, Case{F, "\u0301", {"\u0301"}},
        Case{F, "a \u0301b", {"a", " \u0301", "b"}},
        Case{F, "\U0001F1FA\U0001F1F8", {"\U0001F1FA\U0001F1F8"}},
        Case{F, "a\u200Db", {"a\u200D", "b"}},
        Case{F, "\u00e9t\u00e9 \uac00\ub098 \u6f22", {"\u00e9t\u00e9", " ", "\uac00\ub098", " ", "\u6f22"}},
        Case{F, "x\u1100\u1161y", {"x\u1100\u1161y"}},
        Case{F, "!\u1100\u1161!", {"!", "\u1100\u1161", "!"}},
        Case{F, "\ue000a", {"\ue000", "a"}},
        Case{F, "a\u0301\u0302.b", {"a\u0301\u0302", ".", "b"}},
        Case{F, "\U0001F44D\U0001F3FD\u200D\u2764\uFE0F!", {"\U0001F44D\U0001F3FD\u200D\u2764\uFE0F", "!"}}),
    case_name);

// The snapping rules written out step by step, with a plain set of
// boundaries, as the oracle for the cursor-based implementation.
Pieces snap_by_rules(std::string_view text, const std::vector<ByteRange>& m) {
  std::vector<size_t> starts;
  unicode::grapheme_boundaries(text, starts);
  std::unordered_set<size_t> bounds(starts.begin(), starts.end());
  auto snap = [&](size_t x) {
    while (!bounds.count(x) && x < text.size()) x += utf8::sequence_length(text[x]);
    return x;
  };
  std::vector<ByteRange> pieces;
  size_t i = 0;
  auto absorb = [&](ByteRange& piece) {
    while (i < m.size() && m[i].start < piece.end) {
      if (m[i].end > piece.end) piece.end = snap(m[i].end);
      ++i;
    }
  };
  while (i < m.size()) {
    auto [s, e] = m[i];
    if (!bounds.count(s) && !pieces.empty()) {
      pieces.back().end = snap(std::max(pieces.back().end, e));
      ++i;
      absorb(pieces.back());
      continue;
    }
    ByteRange piece{s, snap(e)};
    ++i;
    absorb(piece);
    bool mark = piece.end > piece.start &&
                unicode::is_mark(unicode::general_category(utf8::decode_at(text, piece.start)));
    if (pieces.empty() && mark && i < m.size()) {
      piece.end = snap(m[i].end);
      ++i;
      absorb(piece);
    }
    pieces.push_back(piece);
  }
  return texts_of(text, pieces);
}

// ---- Randomized comparisons ----

// True when PCRE2 (whose Unicode tables may be older) and our tables agree on
// every property the patterns read for `cp`. Random alphabets keep only such
// characters.
bool properties_agree(char32_t cp) {
  static const char* kProps[] = {R"(\p{L})", R"(\p{Nd})", R"(\p{Nl})",          R"(\p{No})",
                                 R"(\p{M})", R"(\p{Pc})", R"(\p{Alphabetic})"};
  static const auto compiled = [] {
    std::vector<std::unique_ptr<const Pcre2Pattern>> out;
    for (const char* p : kProps) out.push_back(Pcre2Pattern::compile(p).value());
    return out;
  }();
  using unicode::GeneralCategory;
  GeneralCategory gc = unicode::general_category(cp);
  bool ours[] = {unicode::is_letter(gc),    gc == GeneralCategory::Nd, gc == GeneralCategory::Nl,
                 gc == GeneralCategory::No, unicode::is_mark(gc),      gc == GeneralCategory::Pc,
                 unicode::is_alphabetic(cp)};
  std::string text;
  utf8::append(text, cp);
  for (size_t i = 0; i < compiled.size(); ++i) {
    std::vector<ByteRange> found;
    if (!compiled[i]->find_all(text, found).ok()) return false;
    if (!found.empty() != ours[i]) return false;
  }
  return true;
}

// Pieces of text that the patterns treat specially, plus random characters.
class TextMaker {
 public:
  explicit TextMaker(uint32_t seed) : rng_(seed) {
    for (const char* atom :
         {SP, SP SP, "'", "\u2019", "<|", "|>", "|", "<", ">", "0", "1", "7", "0x", "0b", "0X",
          "0B", "x", "f", "b", "@", "#", "http://", "https://", ".", "-", "_", "+", ":", "/",
          "(", ")", "?", "=", "%", "~", "&", "a", "Z", "ab", "com", "\u00e9", "\u00df", "\u03a9",
          "\u044f", " ", "  ", "\t", "\n", "\r\n", "\r", "\x1c", "\x1d", "\x1e", "\x1f",
          "\U0001F44D", "\U0001F3FD", "\U0001F3FB", "\u200D", "\u200C", "\uFE0F", "\uFE0E",
          "\U0001F1FA", "\U0001F1F8", "\u2600", "\u2702", "\u2780", "\U0001F468", "\U0001F469",
          "\u6f22", "\u5b57", "\u304b", "\u30ab", "\ud55c", "\u1100", "\u1161", "\u11a8",
          "\u0301", "\u0308", "\u0903", "\u20dd", "\u0661", "\u0664", "\u2160", "\u00bd",
          "\u00b2", "\u00a0", "\u3000", "\u2028", "\u180e", "\ue000", "\ue001", "!", ",",
          "\u0e33", "\u00ad", "\u0378", "\u203f", "\u0915\u094d\u0937", "\u0300a", "a.b",
          "1.", "a@b.c", "x.y.zz", "#x", "@y", "ex.org", "/p?q=1&r", "a(b)", "co\u0301",
          "https://a.bc"}) {
      atoms_.emplace_back(atom);
    }
    std::uniform_int_distribution<uint32_t> any(0x80, 0x2FFFF);
    while (randoms_.size() < 300) {
      char32_t cp = any(rng_);
      if ((cp >= 0xD800 && cp <= 0xDFFF) || !properties_agree(cp)) continue;
      std::string s;
      utf8::append(s, cp);
      randoms_.push_back(s);
    }
  }

  std::string text(size_t max_atoms) {
    std::uniform_int_distribution<size_t> count(0, max_atoms);
    std::uniform_int_distribution<size_t> atom(0, atoms_.size() - 1);
    std::uniform_int_distribution<size_t> random(0, randoms_.size() - 1);
    std::string out;
    for (size_t n = count(rng_); n > 0; --n) {
      out += rng_() % 8 == 0 ? randoms_[random(rng_)] : atoms_[atom(rng_)];
    }
    return out;
  }

 private:
  std::mt19937 rng_;
  std::vector<std::string> atoms_;
  std::vector<std::string> randoms_;
};

TEST(PretokRandom, AtomsHaveAgreeingProperties) {
  // The fixed atoms are chosen from characters that have not changed
  // between the Unicode versions involved.
  for (char32_t cp : {0x00e9, 0x0301, 0x0903, 0x20dd, 0x0661, 0x2160, 0x00bd, 0x180e, 0x203f,
                      0x0378, 0x1100, 0x0915, 0x094d, 0x2780, 0x00b2}) {
    EXPECT_TRUE(properties_agree(cp)) << std::hex << uint32_t(cp);
  }
}

TEST(PretokRandom, MatchersEqualPcre2) {
  TextMaker maker(12345);
  for (int round = 0; round < 20000; ++round) {
    std::string text = maker.text(round % 100 == 0 ? 400 : 24);
    for (Kind kind : {Kind::full, Kind::plain}) {
      std::vector<ByteRange> ours;
      const bool joins = pattern_of(kind).find_all(text, ours);
      ASSERT_EQ(texts_of(text, ours), texts_of(text, reference_matches(kind, text)))
          << (kind == Kind::full ? "full: " : "plain: ") << testing::PrintToString(text);
      // Snapping trusts the matchers to see every character that joins.
      ASSERT_EQ(joins, has_joining_character(text)) << testing::PrintToString(text);
    }
  }
}

TEST(PretokRandom, SnappingFollowsTheRules) {
  TextMaker maker(777);
  for (int round = 0; round < 20000; ++round) {
    std::string text = maker.text(24);
    for (Kind kind : {Kind::full, Kind::plain}) {
      std::vector<ByteRange> m;
      pattern_of(kind).find_all(text, m);
      Pieces pieces = snapped_pretokens(text, pattern_of(kind));
      std::string joined;
      for (const auto& p : pieces) joined += p;
      ASSERT_EQ(joined, text);
      if (has_joining_character(text)) {
        ASSERT_EQ(pieces, snap_by_rules(text, m)) << testing::PrintToString(text);
      } else {
        ASSERT_EQ(pieces, texts_of(text, m));
      }
    }
  }
}

TEST(PretokSnap, CrLfSplitTakesTheSlowPath) {
  // Neither pattern splits U+000D U+000A; a text with unmatched gaps would.
  EXPECT_FALSE(has_joining_character("a\r\nb"));
  EXPECT_TRUE(has_joining_character("a\u0301"));
  EXPECT_TRUE(has_joining_character("\U000E0041"));
  EXPECT_TRUE(has_joining_character("\U0001F1E6"));
  EXPECT_TRUE(has_joining_character("\u0e33"));
  EXPECT_FALSE(has_joining_character("\u00e9\uac00\u6f22\u0e32"));
  EXPECT_EQ(snapped_pretokens("a\r\n", get_full_pretok_regex()), (Pieces{"a", "\r\n"}));
}

// ---- Hostile inputs ----

struct Hostile {
  const char* unit;
  bool pcre2_quadratic;  // a backtracking engine rescans: checked on a smaller text
};

void PrintTo(const Hostile& h, std::ostream* os) { *os << ascii_quoted(h.unit) << " repeated"; }

class HostileInputs : public testing::TestWithParam<Hostile> {};

TEST_P(HostileInputs, MegabyteMatchesTheReference) {
  const Hostile& h = GetParam();
  std::string text = repeat(h.unit, size_t{1} << 20);
  for (Kind kind : {Kind::full, Kind::plain}) {
    std::vector<ByteRange> ours;
    pattern_of(kind).find_all(text, ours);
    std::string_view checked = text;
    if (h.pcre2_quadratic && kind == Kind::full) {
      size_t units = 32 * 1024 / std::strlen(h.unit);
      checked = std::string_view(text).substr(0, units * std::strlen(h.unit));
      ours.clear();
      pattern_of(kind).find_all(checked, ours);
    }
    EXPECT_EQ(ours, reference_matches(kind, checked)) << h.unit;
    auto pieces = snapped_pretokens(text, pattern_of(kind));
    size_t total = 0;
    for (const auto& p : pieces) total += p.size();
    EXPECT_EQ(total, text.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Listed, HostileInputs,
    testing::Values(Hostile{"1.", true}, Hostile{"a.", true}, Hostile{"0x", true},
                    Hostile{"_", true}, Hostile{"7", true}, Hostile{"a@", false},
                    Hostile{"a.a@", false}, Hostile{"a@b.", false}, Hostile{"http://a", false},
                    Hostile{"https://a.b", false}, Hostile{"<|a", false}, Hostile{"#", false},
                    Hostile{"\u0301", false}, Hostile{SP, false}, Hostile{"a'", false},
                    Hostile{"\U0001F44D\u200D", false}, Hostile{"\U0001F1E6", false},
                    Hostile{"a", false}),
    [](const testing::TestParamInfo<Hostile>& info) {
      return row_name("", info.index, info.param.unit);
    });

}  // namespace
}  // namespace brindlore
