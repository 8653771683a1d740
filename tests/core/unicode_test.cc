#include "core/unicode/unicode.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/utf8.h"

namespace brindlore::unicode {
namespace {

const std::string kUcd = std::string(BRINDLORE_SOURCE_DIR) + "/third_party/ucd/16.0.0/";

std::string utf8_of(std::u32string_view cps) {
  std::string s;
  for (char32_t cp : cps) utf8::append(s, cp);
  return s;
}

// Lines of a UCD test file with the comment removed; blank lines skipped.
std::vector<std::string> data_lines(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << path;
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// Every length, start and position of the first non-ASCII byte, against a
// byte loop: the word reads and the overlapping tail must agree with it.
TEST(Utf8AsciiRun, AgreesWithByteLoop) {
  for (size_t len = 0; len <= 70; ++len) {
    for (size_t high = 0; high <= len; ++high) {
      std::string text(len, 'a');
      if (high < len) text[high] = static_cast<char>(0xC3);
      for (size_t pos = 0; pos <= len; ++pos) {
        size_t want = pos;
        while (want < len && static_cast<unsigned char>(text[want]) < 0x80) ++want;
        ASSERT_EQ(utf8::ascii_run_end(text, pos), want) << len << " " << high << " " << pos;
      }
    }
  }
}

// ---- Properties -------------------------------------------------------------------

TEST(UnicodeProperties, GeneralCategoriesOfUnicode16) {
  using GC = GeneralCategory;
  EXPECT_EQ(general_category(U'A'), GC::Lu);
  EXPECT_EQ(general_category(U'a'), GC::Ll);
  EXPECT_EQ(general_category(U'0'), GC::Nd);
  EXPECT_EQ(general_category(0x2167), GC::Nl);   // ROMAN NUMERAL EIGHT
  EXPECT_EQ(general_category(0x00B2), GC::No);   // SUPERSCRIPT TWO
  EXPECT_EQ(general_category(0x0301), GC::Mn);
  EXPECT_EQ(general_category(0x0903), GC::Mc);
  EXPECT_EQ(general_category(0x20DD), GC::Me);
  EXPECT_EQ(general_category(0x200D), GC::Cf);
  EXPECT_EQ(general_category(0x0000), GC::Cc);
  EXPECT_EQ(general_category(0xD800), GC::Cs);
  EXPECT_EQ(general_category(0xE000), GC::Co);
  EXPECT_EQ(general_category(0x10FFFD), GC::Co);
  EXPECT_EQ(general_category(0x4E00), GC::Lo);   // First/Last ranges
  EXPECT_EQ(general_category(0x9FFF), GC::Lo);
  EXPECT_EQ(general_category(0xD7A3), GC::Lo);
  EXPECT_EQ(general_category(0x18CFF), GC::Lo);  // Khitan, range end in 16.0
  EXPECT_EQ(general_category(0x18D09), GC::Cn);
  EXPECT_EQ(general_category(0x3000), GC::Zs);
  EXPECT_EQ(general_category(0x2028), GC::Zl);
  EXPECT_EQ(general_category(0x1CCD6), GC::So);  // new in 16.0
  EXPECT_EQ(general_category(0x1FAE9), GC::So);  // new in 16.0
  EXPECT_EQ(general_category(0x1E5D0), GC::Lo);  // Ol Onal, new in 16.0
  EXPECT_EQ(general_category(0x0378), GC::Cn);
  EXPECT_EQ(general_category(0x1FAEA), GC::Cn);  // first assigned after 16.0
  EXPECT_EQ(general_category(0x10FFFF), GC::Cn);
  EXPECT_EQ(general_category(0x110000), GC::Cn);
  EXPECT_TRUE(is_number(general_category(0x2167)));
  EXPECT_TRUE(is_mark(general_category(0x20DD)));
  EXPECT_TRUE(is_letter(general_category(0x02B0)));
}

TEST(UnicodeProperties, BooleanProperties) {
  EXPECT_TRUE(is_white_space(0x0020));
  EXPECT_TRUE(is_white_space(0x0085));
  EXPECT_TRUE(is_white_space(0x3000));
  EXPECT_FALSE(is_white_space(0x180E));
  EXPECT_FALSE(is_white_space(0x200B));
  EXPECT_TRUE(is_cased(U'A'));
  EXPECT_TRUE(is_cased(0x0345));  // Other_Lowercase mark
  EXPECT_FALSE(is_cased(0x01C0));
  EXPECT_TRUE(is_case_ignorable(U'\''));
  EXPECT_TRUE(is_case_ignorable(U':'));
  EXPECT_TRUE(is_case_ignorable(0x0301));
  EXPECT_TRUE(is_case_ignorable(0x00AD));
  EXPECT_FALSE(is_case_ignorable(U'a'));
  EXPECT_TRUE(is_grapheme_extend(0x0301));
  EXPECT_TRUE(is_grapheme_extend(0x200C));
  EXPECT_FALSE(is_grapheme_extend(0x200D));
  EXPECT_TRUE(is_alphabetic(0x0345));
  EXPECT_TRUE(is_alphabetic(0x2160));
  EXPECT_FALSE(is_alphabetic(U'1'));
  EXPECT_TRUE(is_extended_pictographic(0x1F600));
  EXPECT_TRUE(is_extended_pictographic(0x00A9));
  EXPECT_TRUE(is_extended_pictographic(0x1FFFD));  // reserved but pictographic
  EXPECT_FALSE(is_extended_pictographic(0x1F1E6));
  EXPECT_EQ(canonical_combining_class(U'a'), 0);
  EXPECT_EQ(canonical_combining_class(0x0301), 230);
  EXPECT_EQ(canonical_combining_class(0x0316), 220);
  EXPECT_EQ(canonical_combining_class(0x05B0), 10);
  EXPECT_EQ(canonical_combining_class(0x1E4EC), 232);
  EXPECT_EQ(canonical_combining_class(0x110000), 0);
}

// ---- Grapheme clusters -------------------------------------------------------------

std::vector<size_t> boundaries(std::string_view text) {
  std::vector<size_t> out{99};
  grapheme_boundaries(text, out);
  return out;
}

TEST(GraphemeClusters, EveryLineOfGraphemeBreakTest) {
  size_t cases = 0;
  for (const std::string& line : data_lines(kUcd + "auxiliary/GraphemeBreakTest.txt")) {
    std::istringstream in(line);
    std::string token, text;
    std::vector<size_t> want;
    while (in >> token) {
      if (token == "\xC3\xB7") {  // ÷
        want.push_back(text.size());
      } else if (token != "\xC3\x97") {  // ×
        utf8::append(text, static_cast<char32_t>(std::stoul(token, nullptr, 16)));
      }
    }
    EXPECT_EQ(boundaries(text), want) << line;
    ++cases;
  }
  EXPECT_EQ(cases, 1093u);
}

TEST(GraphemeClusters, EmptyTextAndCommonShapes) {
  EXPECT_EQ(boundaries(""), (std::vector<size_t>{0}));
  EXPECT_EQ(boundaries("ab"), (std::vector<size_t>{0, 1, 2}));
  EXPECT_EQ(boundaries("\r\n\n"), (std::vector<size_t>{0, 2, 3}));
  EXPECT_EQ(boundaries(utf8_of(U"e\u0301x")), (std::vector<size_t>{0, 3, 4}));
  // Four regional indicators pair up into two flags.
  EXPECT_EQ(boundaries(utf8_of(U"\U0001F1FA\U0001F1F8\U0001F1FA\U0001F1F8")),
            (std::vector<size_t>{0, 8, 16}));
  // Family emoji: pictographs joined by ZWJ stay one cluster.
  EXPECT_EQ(boundaries(utf8_of(U"\U0001F468\u200D\U0001F469\u200D\U0001F467")),
            (std::vector<size_t>{0, 18}));
  // Devanagari KA + VIRAMA + SSA is one conjunct (GB9c).
  EXPECT_EQ(boundaries(utf8_of(U"\u0915\u094D\u0937")), (std::vector<size_t>{0, 9}));
  // Conjoining jamo L V T form one syllable.
  EXPECT_EQ(boundaries(utf8_of(U"\u1100\u1161\u11A8\u1100")), (std::vector<size_t>{0, 9, 12}));
}

// ---- NFKC --------------------------------------------------------------------------

std::string hex_field_to_utf8(const std::string& field) {
  std::istringstream in(field);
  std::string s, token;
  while (in >> token) utf8::append(s, static_cast<char32_t>(std::stoul(token, nullptr, 16)));
  return s;
}

std::string hex_of(std::string_view text) {
  std::vector<char32_t> cps;
  utf8::to_code_points(text, cps);
  std::string s;
  char buf[16];
  for (char32_t cp : cps) {
    std::snprintf(buf, sizeof buf, "%04X ", static_cast<unsigned>(cp));
    s += buf;
  }
  return s;
}

TEST(Nfkc, EveryLineOfNormalizationTest) {
  std::vector<bool> listed(0x110000, false);
  size_t lines = 0;
  bool part1 = false;
  for (const std::string& line : data_lines(kUcd + "NormalizationTest.txt")) {
    if (line[0] == '@') {
      part1 = line.rfind("@Part1", 0) == 0;
      continue;
    }
    std::vector<std::string> cols;
    std::istringstream in(line);
    std::string field;
    while (std::getline(in, field, ';')) cols.push_back(hex_field_to_utf8(field));
    ASSERT_GE(cols.size(), 5u) << line;
    const std::string& want = cols[3];
    for (int i = 0; i < 5; ++i) {
      std::string got = nfkc(cols[i]);
      EXPECT_EQ(hex_of(got), hex_of(want)) << "column " << i + 1 << ": " << line;
      std::string out = "untouched";
      bool changed = nfkc_into(cols[i], out);
      EXPECT_EQ(changed, cols[i] != want) << line;
      EXPECT_EQ(out, changed ? want : "untouched") << line;
      if (nfkc_quick_check(cols[i])) {
        EXPECT_EQ(cols[i], want) << line;
      }
    }
    if (part1) listed[utf8::decode_at(cols[0], 0)] = true;
    ++lines;
  }
  EXPECT_EQ(lines, 19965u);
  size_t unlisted = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (listed[cp] || (cp >= 0xD800 && cp < 0xE000)) continue;
    std::string one;
    utf8::append(one, cp);
    std::string out;
    ASSERT_FALSE(nfkc_into(one, out)) << std::hex << static_cast<unsigned>(cp);
    ++unlisted;
  }
  EXPECT_GT(unlisted, 1000000u);
}

TEST(Nfkc, CompatibilityAndCompositionCases) {
  EXPECT_EQ(nfkc(utf8_of(U"\U0001CCD6")), "A");  // new in 16.0
  EXPECT_EQ(nfkc(utf8_of(U"\uFB01")), "fi");
  EXPECT_EQ(nfkc(utf8_of(U"\u2026")), "...");
  EXPECT_EQ(nfkc(utf8_of(U"\u00A0\u3000")), "  ");
  EXPECT_EQ(nfkc(utf8_of(U"e\u0301")), utf8_of(U"\u00E9"));
  EXPECT_EQ(nfkc(utf8_of(U"\u1100\u1161\u11A8")), utf8_of(U"\uAC01"));
  // Composition over a lower-class mark, and a blocked second accent.
  EXPECT_EQ(nfkc(utf8_of(U"a\u0301\u0316")), utf8_of(U"\u00E1\u0316"));
  EXPECT_EQ(nfkc(utf8_of(U"a\u0301\u0301")), utf8_of(U"\u00E1\u0301"));
  // Excluded composite (U+0958) stays decomposed.
  EXPECT_EQ(nfkc(utf8_of(U"\u0958")), utf8_of(U"\u0915\u093C"));
  // A leading mark has no starter to join.
  EXPECT_EQ(nfkc(utf8_of(U"\u0316\u0301x")), utf8_of(U"\u0316\u0301x"));
  EXPECT_EQ(nfkc(""), "");
}

TEST(Nfkc, UnchangedTextLeavesOutputUntouched) {
  for (std::string text : {std::string(""), std::string("plain ascii text, long enough for words"),
                           utf8_of(U"\u00E9t\u00E9 \uAC01 \u4E00"), utf8_of(U"x\u0301")}) {
    std::string out = "keep";
    EXPECT_FALSE(nfkc_into(text, out)) << text;
    EXPECT_EQ(out, "keep");
  }
  std::string out = "old";
  EXPECT_TRUE(nfkc_into(utf8_of(U"abc\uFB01"), out));
  EXPECT_EQ(out, "abcfi");
}

TEST(Nfkc, OutputMayHoldTheInput) {
  std::string s = utf8_of(U"x\uFB01y");
  EXPECT_TRUE(nfkc_into(s, s));
  EXPECT_EQ(s, "xfiy");
  EXPECT_FALSE(nfkc_into(s, s));
  EXPECT_EQ(s, "xfiy");
}

TEST(Nfkc, QuickCheckAndBoundaries) {
  EXPECT_TRUE(nfkc_quick_check("ascii only"));
  EXPECT_TRUE(nfkc_quick_check(utf8_of(U"\u00E9\u4E00")));
  EXPECT_FALSE(nfkc_quick_check(utf8_of(U"e\u0301")));           // Maybe
  EXPECT_FALSE(nfkc_quick_check(utf8_of(U"\uFB01")));            // No
  EXPECT_FALSE(nfkc_quick_check(utf8_of(U"a\u0316\u0334")));     // out of order
  EXPECT_TRUE(nfkc_quick_check(utf8_of(U"a\u0334\u0316")));
  EXPECT_TRUE(nfkc_boundary_before(U'a'));
  EXPECT_TRUE(nfkc_boundary_before(0x1100));   // leading jamo
  EXPECT_FALSE(nfkc_boundary_before(0x1161));  // vowel jamo joins a preceding L
  EXPECT_FALSE(nfkc_boundary_before(0x0301));
  EXPECT_FALSE(nfkc_boundary_before(0xFB01));
  EXPECT_FALSE(nfkc_boundary_before(0x0F73));  // decomposes to non-starters
}

// Normalizing at every boundary separately gives the same as the whole text.
TEST(Nfkc, SplittingAtBoundariesCommutes) {
  std::string text = utf8_of(U"A\u0301\u0316B\uFB01\u1100\u1161\u11A8\u0958\u00C5\u212B"
                             U"\u1E9B\u0323q\u0307\u0323\u3300\uAC00\u11A8x");
  std::vector<char32_t> cps;
  utf8::to_code_points(text, cps);
  std::string pieces, piece;
  for (char32_t cp : cps) {
    if (nfkc_boundary_before(cp) && !piece.empty()) {
      pieces += nfkc(piece);
      piece.clear();
    }
    utf8::append(piece, cp);
  }
  pieces += nfkc(piece);
  EXPECT_EQ(hex_of(pieces), hex_of(nfkc(text)));
}

TEST(Nfkc, MegabyteOfMixedClassMarksIsSortedStably) {
  // Classes 230, 220, 10, 1, 240; none composes with the digit.
  const std::u32string marks = U"\u0301\u0316\u05B0\u0334\u0345\u0300\u0317";
  std::u32string input = U"1";
  const size_t rounds = 75000;
  for (size_t i = 0; i < rounds; ++i) input += marks;
  std::string text = utf8_of(input);
  ASSERT_GT(text.size(), 1000000u);
  std::u32string want = U"1";
  want += std::u32string(rounds, U'\u0334') + std::u32string(rounds, U'\u05B0');
  for (size_t i = 0; i < rounds; ++i) want += U"\u0316\u0317";
  for (size_t i = 0; i < rounds; ++i) want += U"\u0301\u0300";
  want += std::u32string(rounds, U'\u0345');
  EXPECT_TRUE(nfkc(text) == utf8_of(want));
}

TEST(Nfkc, MegabyteOfHangulJamo) {
  const size_t n = 1 << 17;
  std::u32string lv, lvt, lvv = U"\u1100";
  for (size_t i = 0; i < n; ++i) lv += U"\u1100\u1161";
  for (size_t i = 0; i < n; ++i) lvt += U"\u1100\u1161\u11A8";
  for (size_t i = 0; i < n; ++i) lvv += U"\u1161";
  EXPECT_TRUE(nfkc(utf8_of(lv)) == utf8_of(std::u32string(n, U'\uAC00')));
  EXPECT_TRUE(nfkc(utf8_of(lvt)) == utf8_of(std::u32string(n, U'\uAC01')));
  std::u32string syllable_then_vowels = U"\uAC00";
  syllable_then_vowels.append(n - 1, U'\u1161');
  EXPECT_TRUE(nfkc(utf8_of(lvv)) == utf8_of(syllable_then_vowels));
}

// ---- Lower-casing --------------------------------------------------------------------

std::string lower(std::u32string_view text) {
  std::string out = "prefix:";
  to_lower_full(utf8_of(text), out);
  EXPECT_EQ(out.rfind("prefix:", 0), 0u);
  return out.substr(7);
}

TEST(LowerCase, FinalSigmaContexts) {
  struct Case {
    std::u32string_view in, want;
  };
  const Case cases[] = {
      {U"\u0391\u03A3", U"\u03B1\u03C2"},            // ends a word
      {U"\u03A3", U"\u03C3"},                        // nothing cased before
      {U"\u03A3\u0391", U"\u03C3\u03B1"},            // cased after
      {U"\u03A3\u03A3", U"\u03C3\u03C2"},
      {U"\u0391\u03A3 \u0391", U"\u03B1\u03C2 \u03B1"},
      {U"\u0391\u03A3'", U"\u03B1\u03C2'"},          // ignorable after, then the end
      {U"\u0391\u03A3'\u0391", U"\u03B1\u03C3'\u03B1"},  // ignorable, then cased
      {U"\u0391\u03A3.x", U"\u03B1\u03C3.x"},
      {U"\u0391'\u03A3", U"\u03B1'\u03C2"},          // ignorable skipped backwards
      {U"\u0391\u0301\u03A3", U"\u03B1\u0301\u03C2"},
      {U":\u03A3", U":\u03C3"},                      // only ignorable before
      {U"1\u03A3", U"1\u03C3"},                      // uncased before
      {U"\u0391\u03A3\u0301\u00AD", U"\u03B1\u03C2\u0301\u00AD"},
      {U"\u0391\u03A31", U"\u03B1\u03C21"},          // uncased after
  };
  for (const Case& c : cases) EXPECT_EQ(hex_of(lower(c.in)), hex_of(utf8_of(c.want)));
}

TEST(LowerCase, FullMappings) {
  EXPECT_EQ(lower(U"\u0130"), utf8_of(U"i\u0307"));
  EXPECT_EQ(lower(U"HeLLo, W\u00D6RLD \u1E9E\u0400\u10A0\U0001E900"),
            utf8_of(U"hello, w\u00F6rld \u00DF\u0450\u2D00\U0001E922"));
  EXPECT_EQ(lower(U"\u00DF\uFB01\u1F88"), utf8_of(U"\u00DF\uFB01\u1F80"));
  EXPECT_EQ(lower(U"\u2160\u24B6"), utf8_of(U"\u2170\u24D0"));  // Nl and So with mappings
  EXPECT_EQ(lower(U""), "");
  char32_t m[3];
  ASSERT_EQ(lower_mapping(0x0130, m), 2);
  EXPECT_EQ(m[0], U'i');
  EXPECT_EQ(m[1], U'\u0307');
  ASSERT_EQ(lower_mapping(0x03A3, m), 1);
  EXPECT_EQ(m[0], U'\u03C3');
  ASSERT_EQ(lower_mapping(U'Q', m), 1);
  EXPECT_EQ(m[0], U'q');
  ASSERT_EQ(lower_mapping(0x4E00, m), 1);
  EXPECT_EQ(m[0], U'\u4E00');
}

TEST(LowerCase, AppendsToOutputEvenWhenItHoldsTheInput) {
  std::string s = utf8_of(U"AB\u0130");
  to_lower_full(s, s);
  EXPECT_EQ(s, utf8_of(U"AB\u0130ab") + utf8_of(U"i\u0307"));
}

// The ASCII shortcut of the final-sigma context must agree with the tables.
TEST(LowerCase, AsciiContextAgreesWithProperties) {
  for (char32_t c = 0; c < 0x80; ++c) {
    std::u32string before = U"A";
    before += c;
    before += U'\u03A3';
    bool final_before = is_case_ignorable(c) || is_cased(c);
    EXPECT_EQ(lower(before).substr(2), utf8_of(final_before ? U"\u03C2" : U"\u03C3"))
        << static_cast<int>(c);
    std::u32string after = U"A\u03A3";
    after += c;
    bool final_after = is_case_ignorable(c) || !is_cased(c);
    EXPECT_EQ(lower(after).substr(1, 2), utf8_of(final_after ? U"\u03C2" : U"\u03C3"))
        << static_cast<int>(c);
  }
}

TEST(LowerCase, LongRunsOfIgnorablesBetweenSigmas) {
  std::u32string text;
  for (int i = 0; i < 1000; ++i) text += U"\u03A3" + std::u32string(1000, U':');
  std::string got = lower(text);
  std::u32string want;
  for (int i = 0; i < 1000; ++i)
    want += (i == 999 ? U"\u03C2" : U"\u03C3") + std::u32string(1000, U':');
  EXPECT_TRUE(got == utf8_of(want));
}

}  // namespace
}  // namespace brindlore::unicode
