#include "core/pipeline.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/parallel.h"
#include "core/unicode/unicode.h"
#include "core/utf8.h"

namespace brindlore {
namespace {

std::string message_of(const Status& s) { return s.ok() ? std::string("ok") : s.error().message; }

RustPrefixTrie small_trie() {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  const char* tokens[] = {"a", "b", "ab", " ", "\u2581", "\u2581b", "c"};
  uint32_t id = 0;
  for (const char* t : tokens) {
    ++id;
    EXPECT_TRUE(trie.insert_token(t, id, -1.0 - 0.1 * id).ok());
  }
  return trie;
}

TEST(Pipeline, GateRefusesEscapesFirstThenControlSyntaxAfterNfkc) {
  const std::string escapes(kEscapeCharactersMessage), control(kControlTokenMessage);
  const std::pair<std::string, std::string> cases[] = {
      {"", "ok"},
      {"plain text |> here", "ok"},
      {"a\xEE\x80\x80", escapes},
      {"\xEE\x80\x81 <|", escapes},
      // U+E002 shares the first two bytes and passes.
      {"\xEE\x80\x82", "ok"},
      // A truncated-looking tail at the end of the text.
      {"ab\xEE\x80", "ok"},
      {"x<|y", control},
      // Fullwidth less-than and vertical line.
      {"\xEF\xBC\x9C\xEF\xBD\x9C", control},
      // Small form variant of '<' followed by '|'.
      {"\xEF\xB9\xA4|", control},
      {"< |", "ok"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(message_of(native_security_gate(text)), expected) << text;
  }
}

TEST(Pipeline, GateIsLinearOnLongTexts) {
  std::string text(1 << 20, '<');
  EXPECT_TRUE(native_security_gate(text).ok());
  text += "|";
  EXPECT_EQ(message_of(native_security_gate(text)), kControlTokenMessage);
  std::string escapes;
  for (int i = 0; i < (1 << 18); ++i) escapes += "\xEE\x80\x82";
  EXPECT_TRUE(native_security_gate(escapes).ok());
}

// Every code point maps to its NFKC form with exactly U+0020 and the Unicode
// spaces turned into the space character.
TEST(Pipeline, SpaceMappingCoversExactlyTheSpaces) {
  const std::set<char32_t> spaces = {0x20,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                     0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                     0x2009, 0x200A, 0x202F, 0x205F, 0x3000};
  std::string text, out, expected;
  std::vector<char32_t> formed;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    text.clear();
    utf8::append(text, cp);
    utf8::to_code_points(unicode::nfkc(text), formed);
    expected.clear();
    for (char32_t c : formed) utf8::append(expected, spaces.count(c) ? char32_t{0xE001} : c);
    nfkc_with_spaces(text, 0xE001, out);
    ASSERT_EQ(out, expected) << std::hex << static_cast<uint32_t>(cp);
  }
}

TEST(Pipeline, SpaceMappingAfterNfkc) {
  std::string out;
  // U+00A8 is a space and a combining diaeresis after NFKC.
  nfkc_with_spaces("a\xC2\xA8", 0x2581, out);
  EXPECT_EQ(out, "a\xE2\x96\x81\xCC\x88");
  // Nothing is escaped; the space character itself stays.
  nfkc_with_spaces("\xEE\x80\x80 \xE2\x96\x81", 0x2581, out);
  EXPECT_EQ(out, "\xEE\x80\x80\xE2\x96\x81\xE2\x96\x81");
  nfkc_with_spaces("a\xE3\x80\x80" "b\xE1\x9A\x80", U'_', out);
  EXPECT_EQ(out, "a_b_");
  nfkc_with_spaces("", 0x2581, out);
  EXPECT_EQ(out, "");
}

// Many threads encoding with one trie (and its cache) get the sequential
// results; the id lists of long texts grow past their first reservation.
TEST(Pipeline, ParallelEncodesAgreeWithSequentialOnes) {
  const RustPrefixTrie trie = small_trie();
  const TextEncoding how{};
  std::vector<std::string> texts;
  for (int i = 0; i < 200; ++i) {
    std::string text;
    for (int j = 0; j <= i % 37; ++j) text += (j % 3 == 0) ? "abab " : (j % 3 == 1 ? "bca" : "  c");
    texts.push_back(text);
  }
  std::vector<std::vector<uint32_t>> expected;
  for (const std::string& t : texts) expected.push_back(encode_text_ids(t, trie, how).value());
  trie.seg_cache().clear();
  Result<std::vector<std::vector<uint32_t>>> got = parallel_map<std::vector<uint32_t>>(
      texts.size(), [&](size_t i) { return encode_text_ids(texts[i], trie, how); });
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(*got, expected);
}
}  // namespace
}  // namespace brindlore
