#include "core/seed.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "support/row_names.h"

namespace brindlore {
namespace {

struct CjkCase {
  const char* text;
  bool cjk;
};

void PrintTo(const CjkCase& c, std::ostream* os) {
  *os << ascii_quoted(c.text) << (c.cjk ? " is CJK" : " is not CJK");
}

class IsCjkChunk : public testing::TestWithParam<CjkCase> {};

TEST_P(IsCjkChunk, FirstDecisiveCharacterDecides) {
  EXPECT_EQ(is_cjk_chunk(GetParam().text), GetParam().cjk) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IsCjkChunk,
    testing::Values(
        // Nothing decisive.
        CjkCase{"", false}, CjkCase{" \t\r\n", false}, CjkCase{"\u2581\uE000\uF8FF!?", false},
        // Row 1: ASCII letters, at both ends of both cases.
        CjkCase{"A\u4E00", false}, CjkCase{"z\u4E00", false}, CjkCase{"@[`{\u4E00", true},
        // Row 2: the whole range decides, × and ÷ included.
        CjkCase{"\u00C0\u4E00", false}, CjkCase{"\u024F\u4E00", false},
        CjkCase{"\u00D7\u4E00", false}, CjkCase{"\u00BF\u4E00", true},
        CjkCase{"\u0250\u4E00", true},
        // Row 3: Devanagari to Malayalam.
        CjkCase{"\u0900\u4E00", false}, CjkCase{"\u0D7F\u4E00", false},
        // Row 4: Han, extension A, kana, Hangul syllables (unassigned tail too).
        CjkCase{"\u4E00", true}, CjkCase{"\u9FFF", true}, CjkCase{"\u3400", true},
        CjkCase{"\u4DBF", true}, CjkCase{"\u3040", true}, CjkCase{"\u30FF", true},
        CjkCase{"\uAC00", true}, CjkCase{"\uD7AF", true}, CjkCase{"\uD7B0\u4E00", true},
        CjkCase{"\u4E00abc", true}, CjkCase{"\u3000\u00AB\u4E00", true},
        // Row 5: Arabic (both blocks) and Cyrillic (with its supplement).
        CjkCase{"\u0600\u4E00", false}, CjkCase{"\u06FF\u4E00", false},
        CjkCase{"\u0750\u4E00", false}, CjkCase{"\u077F\u4E00", false},
        CjkCase{"\u0400\u4E00", false}, CjkCase{"\u052F\u4E00", false},
        CjkCase{"\u0530\u4E00", true},
        // Row 6: ASCII digits, Thai, and any Nd, Nl or No character.
        CjkCase{"0\u4E00", false}, CjkCase{"9\u4E00", false}, CjkCase{"\u0E00\u4E00", false},
        CjkCase{"\u0E7F\u4E00", false}, CjkCase{"\u00B2\u4E00", false},
        CjkCase{"\u3007\u4E00", false}, CjkCase{"\uFF11\u4E00", false},
        CjkCase{"\U0001D7CE\u4E00", false},
        // Other scripts are passed over.
        CjkCase{"\u03B1\u4E00", true}, CjkCase{"\u05D0\u4E00", true}),
    [](const testing::TestParamInfo<CjkCase>& info) {
      return row_name("", info.index, info.param.text);
    });

TEST(MineNgrams, KeysViewIntoTheChunks) {
  const std::string text = "xyz";
  WeightedChunk chunk{text, 1};
  NgramCounts counts = mine_ngrams({&chunk, 1}, 3, {});
  ASSERT_EQ(counts.size(), 6u);
  for (const auto& [key, count] : counts) {
    EXPECT_GE(key.data(), text.data());
    EXPECT_LE(key.data() + key.size(), text.data() + text.size());
  }
}

}  // namespace
}  // namespace brindlore
