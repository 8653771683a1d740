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

std::string utf8_of(const std::vector<char32_t>& cps) {
  std::string s;
  for (char32_t cp : cps) utf8::append(s, cp);
  return s;
}

std::string utf8_of(std::u32string_view cps) { return utf8_of(std::vector<char32_t>(cps.begin(), cps.end())); }

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
  EXPECT_GT(cases, 1000u);
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

}  // namespace
}  // namespace brindlore::unicode
