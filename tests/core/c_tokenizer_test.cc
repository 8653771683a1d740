#include "core/c_tokenizer.h"

#include <gtest/gtest.h>

#include "core/vocab_json.h"

namespace brindlore {
namespace {

TEST(VocabJson, Refusals) {
  for (const char* json : {
           "[]",
           " [ ] ",
           R"([["<|unk|>", 0, 0]] x)",
           R"([["<|unk|>", 0, 0]],)",
           R"([["<|unk|>", 0, 0],])",
           R"([["<|unk|>", 0, 0], ])",
           R"([["<|unk|>", 0]])",
           R"([["<|unk|>", 0, 0, 0]])",
           R"([["<|unk|>", 0, 4294967296]])",
           R"([["<|unk|>", 0, -1]])",
           R"([["<|unk|>", 0, 2.0]])",
           R"([["<|unk|>", 0, 0.0]])",
           R"([["<|unk|>", 0, 0e0]])",
           R"([["<|unk|>", 0, -0]])",
           R"([["<|unk|>", 0, 1]])",                  // id n
           R"([["<|unk|>", 0, 0], ["a", 0, 0]])",    // id twice
           R"([["a", 0, 0], ["b", 0, 1]])",          // no "<|unk|>"
           R"([["<|UNK|>", 0, 0]])",
           R"([[null, 0, 0]])",
           R"([["<|unk|>", null, 0]])",
           R"([["<|unk|>", 0, null]])",
           R"([["<|unk|>", "0", 0]])",
           R"({"vocab": [["<|unk|>", 0, 0]]})",
           R"(["<|unk|>", 0, 0])",
           R"("<|unk|>")",
           "0",
           "",
           "\f[[\"<|unk|>\", 0, 0]]",
       }) {
    EXPECT_FALSE(parse_vocab_triples(json).ok()) << json;
  }
}

TEST(VocabJson, AcceptsShuffledIdsWhitespaceAndAnyNumberAsScore) {
  auto entries = parse_vocab_triples(
      " \t\r\n[ [\"b\", -2, 2] ,[\"<|unk|>\",-1.5e1,0],[\"\\u00e9\", 0, 1]]\n ");
  ASSERT_TRUE(entries.ok()) << entries.error().message;
  ASSERT_EQ(entries->size(), 3u);
  EXPECT_EQ((*entries)[0].token, "b");
  EXPECT_EQ((*entries)[0].score, -2.0);
  EXPECT_EQ((*entries)[0].id, 2u);
  EXPECT_EQ((*entries)[1].score, -15.0);
  EXPECT_EQ((*entries)[2].token, "\xC3\xA9");
}

TEST(CTokenizer, LastUnkEntryGivesTheUnknownId) {
  std::string json = R"([["a", 0, 0], ["b", 0, 1], ["c", 0, 2], ["<|unk|>", -1, 3],
                        ["d", 0, 4], ["e", 0, 5], ["f", 0, 6], ["<|unk|>", -2, 7]])";
  auto tokenizer = make_c_tokenizer(json);
  ASSERT_TRUE(tokenizer.ok()) << tokenizer.error().message;
  EXPECT_EQ(tokenizer->unk_id, 7u);
  auto meta = tokenizer->trie.exact_metadata("<|unk|>");
  ASSERT_TRUE(meta.has_value());
  EXPECT_EQ(meta->token_id, 7u);
  EXPECT_EQ(meta->log_p, -2.0);
  EXPECT_FALSE(tokenizer->trie.max_subword_len().has_value());
  EXPECT_EQ(tokenizer->trie.seg_cache().capacity(), 0u);
}

TEST(CTokenizer, RefusesEmptyToken) {
  auto tokenizer = make_c_tokenizer(R"([["<|unk|>", 0, 0], ["", 0, 1]])");
  ASSERT_FALSE(tokenizer.ok());
  EXPECT_EQ(tokenizer.error().message, "token must not be empty");
}

}  // namespace
}  // namespace brindlore
