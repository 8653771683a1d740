#include "core/seed.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindlore {
namespace {

using Counts = std::map<std::string, uint64_t>;

Counts mine(std::vector<WeightedChunk> chunks, uint64_t max_len,
            std::vector<std::string_view> special = {}) {
  NgramCounts counts = mine_ngrams(chunks, max_len, special);
  return Counts(counts.begin(), counts.end());
}

struct CjkCase {
  const char* text;
  bool cjk;
};

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
        CjkCase{"\u03B1\u4E00", true}, CjkCase{"\u05D0\u4E00", true}));

TEST(MineNgrams, CountsEveryRunWeightedByItsChunk) {
  EXPECT_EQ(mine({{"abc", 2}}, 2), (Counts{{"a", 2}, {"b", 2}, {"c", 2}, {"ab", 2}, {"bc", 2}}));
  EXPECT_EQ(mine({{"aa", 3}}, 2), (Counts{{"a", 6}, {"aa", 3}}));
  EXPECT_EQ(mine({{"ab", 1}, {"b", 5}}, 1), (Counts{{"a", 1}, {"b", 6}}));
  EXPECT_EQ(mine({{"ab", 0}}, 1), (Counts{{"a", 0}, {"b", 0}}));
  EXPECT_EQ(mine({{"abc", 2}}, 0), Counts{});
  EXPECT_EQ(mine({{"", 2}}, 3), Counts{});
}

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

TEST(MineNgrams, TotalsStopAtTheLargestCount) {
  const uint64_t max = UINT64_MAX;
  EXPECT_EQ(mine({{"a", max}, {"ab", 1}}, 1), (Counts{{"a", max}, {"b", 1}}));
  EXPECT_EQ(mine({{"aa", uint64_t{1} << 63}}, 2), (Counts{{"a", max}, {"aa", uint64_t{1} << 63}}));
  EXPECT_EQ(mine({{"aaa", max - 1}}, 1), (Counts{{"a", max}}));
}

TEST(MineNgrams, LargestLengthIsBoundedByTheClusters) {
  EXPECT_EQ(mine({{"abc", 1}}, UINT64_MAX),
            (Counts{{"a", 1}, {"b", 1}, {"c", 1}, {"ab", 1}, {"bc", 1}, {"abc", 1}}));
  // The CJK cap applies to the largest length too.
  Counts han = mine({{"\u4E00\u4E01\u4E02\u4E03\u4E04", 1}}, UINT64_MAX);
  EXPECT_EQ(han.size(), 5u + 4 + 3 + 2);
}

TEST(MineNgrams, CrLfIsOneClusterOnBothPaths) {
  // The second chunk is not ASCII, so its clusters come from the tables.
  EXPECT_EQ(mine({{"a\r\n", 1}, {"\r\n\u00E9", 1}}, 2),
            (Counts{{"a", 1}, {"\r\n", 2}, {"a\r\n", 1}, {"\u00E9", 1}, {"\r\n\u00E9", 1}}));
  EXPECT_EQ(mine({{"\n\r", 1}}, 1), (Counts{{"\n", 1}, {"\r", 1}}));
}

TEST(MineNgrams, NoRunStartsOnAMark) {
  // U+0301 is Mn, U+0903 Mc, U+20DD Me; each begins a cluster after a line feed.
  for (const char* mark : {"\u0301", "\u0903", "\u20DD"}) {
    const std::string chunk = std::string("\n") + mark;
    EXPECT_EQ(mine({{chunk, 1}}, 2), (Counts{{"\n", 1}, {chunk, 1}})) << mark;
  }
}

TEST(MineNgrams, SkipsSpecialAndControlShapedChunks) {
  EXPECT_EQ(mine({{"<|unk|>", 1}, {"<|>", 1}, {"<s>", 1}}, 1, {"<s>"}), Counts{});
  EXPECT_EQ(mine({{"<|", 1}, {"|>", 1}}, 1), (Counts{{"<", 1}, {"|", 2}, {">", 1}}));
  EXPECT_EQ(mine({{"x<s>", 1}}, 3, {"<s>"})["<s>"], 1u);
}

}  // namespace
}  // namespace brindlore
