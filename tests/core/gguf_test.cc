#include "core/gguf.h"
#include "core/gguf_entry.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "core/json.h"

namespace brindlore {
namespace {

using Bytes = std::vector<uint8_t>;

// The expected image is spelled out field by field, independently of the
// writer's own layout walk.
struct Expect {
  Bytes b;
  Expect& raw(std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Expect& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Expect& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Expect& str(std::string_view s) { return u64(s.size()).raw(s); }
};

Bytes image_of(std::string_view json) {
  auto entries = parse_vocab_json(json);
  EXPECT_TRUE(entries.ok()) << json;
  if (!entries.ok()) return {};
  Bytes out(gguf_image_size(*entries));
  write_gguf_image(*entries, out.data());
  return out;
}

std::vector<TokenEntry> entries_of(std::string_view json) {
  auto entries = parse_vocab_json(json);
  EXPECT_TRUE(entries.ok()) << json;
  return entries.ok() ? *entries : std::vector<TokenEntry>{};
}

TEST(Gguf, TwoEntryImageByteByByte) {
  Expect e;
  e.raw("GGUF").u32(3).u64(0).u64(8);
  e.str("tokenizer.ggml.model").u32(8).str("llama");
  e.str("tokenizer.ggml.tokens").u32(9).u32(8).u64(2).str("a").str("b");
  e.str("tokenizer.ggml.scores").u32(9).u32(6).u64(2);
  e.u32(std::bit_cast<uint32_t>(-1.5f)).u32(std::bit_cast<uint32_t>(-2.0f));
  e.str("tokenizer.ggml.token_type").u32(9).u32(5).u64(2).u32(1).u32(1);
  e.str("tokenizer.ggml.bos_token_id").u32(4).u32(0xFFFFFFFF);
  e.str("tokenizer.ggml.eos_token_id").u32(4).u32(0xFFFFFFFF);
  e.str("tokenizer.ggml.unknown_token_id").u32(4).u32(0xFFFFFFFF);
  e.str("tokenizer.ggml.padding_token_id").u32(4).u32(0xFFFFFFFF);
  ASSERT_EQ(e.b.size(), 422u);

  Bytes bare = image_of(R"([["a", -1.5], ["b", -2.0]])");
  Bytes object = image_of(R"({"vocab": [["a", -1.5], ["b", -2.0]]})");
  ASSERT_EQ(bare.size(), 422u);
  for (size_t i = 0; i < e.b.size(); ++i) ASSERT_EQ(bare[i], e.b[i]) << "byte " << i;
  EXPECT_EQ(object, bare);
  // The first pair ends at byte 68.
  EXPECT_EQ(std::string(bare.begin() + 64, bare.begin() + 69), "llama");
}

TEST(Gguf, ImageSizeIsFixedPartPlusSixteenPerEntryPlusTokenBytes) {
  auto entries = entries_of(R"([["", 0], ["\u00e9t\u00e9", 0], ["<|unk|>", 0], ["x", 0]])");
  EXPECT_EQ(gguf_image_size(entries), 388u + 16 * 4 + (0 + 5 + 7 + 1));
}

TEST(Gguf, EntriesAreWrittenInIdOrder) {
  auto entries = entries_of(R"([["b", 0, 1], ["a", 0, 0]])");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].token, "a");
  EXPECT_EQ(entries[1].token, "b");
  Bytes image = image_of(R"([["b", 0, 1], ["a", 0, 0]])");
  // The token array starts after the header, the first pair and the second key.
  size_t tokens = 24 + 45 + 8 + 21 + 4 + 4 + 8;
  EXPECT_EQ(image[tokens + 8], 'a');
  EXPECT_EQ(image[tokens + 8 + 1 + 8], 'b');
}

TEST(Gguf, RepeatedTokenTextsAreKept) {
  auto entries = entries_of(R"([["a", 0.0], ["a", -1.0]])");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].token, "a");
  EXPECT_EQ(entries[1].token, "a");
  EXPECT_EQ(entries[1].score, -1.0f);
}

TEST(Gguf, ScoresRoundToF32) {
  auto entries = entries_of(R"([["a", 1e-50], ["b", 3], ["c", -7], ["d", 0.1], ["e", -0]])");
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(std::bit_cast<uint32_t>(entries[0].score), 0u);  // +0.0 exactly
  EXPECT_EQ(entries[1].score, 3.0f);
  EXPECT_EQ(entries[2].score, -7.0f);
  EXPECT_EQ(entries[3].score, 0.1f);
  EXPECT_EQ(std::bit_cast<uint32_t>(entries[4].score), 0x80000000u);  // -0.0
}

TEST(Gguf, HugeIntegerScoreIsANumber) {
  auto entries = entries_of(R"([["a", 100000000000000000000], ["b", -100000000000000000000]])");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].score, 1e20f);
  EXPECT_EQ(entries[1].score, -1e20f);
}

TEST(Gguf, SpecialIdsHighestIdWins) {
  auto entries = entries_of(
      R"([["<s>", 0], ["a", 0], ["<unk>", 0], ["</s>", 0], ["b", 0], ["<|bos|>", 0],
          ["<pad>", 0], ["<|eos|>", 0, 7], ["c", 0, 8], ["<|unk|>", 0, 9]])");
  GgufSpecialIds ids = special_token_ids(entries);
  EXPECT_EQ(ids.bos, 5u);
  EXPECT_EQ(ids.eos, 7u);
  EXPECT_EQ(ids.unknown, 9u);
  EXPECT_EQ(ids.padding, 6u);

  ids = special_token_ids(entries_of(R"([["a", 0], ["b", 0], ["c", 0], ["d", 0], ["<|pad|>", 0]])"));
  EXPECT_EQ(ids.padding, 4u);
  EXPECT_EQ(ids.bos, kNoSpecialId);
  EXPECT_EQ(ids.eos, kNoSpecialId);
  EXPECT_EQ(ids.unknown, kNoSpecialId);
}

TEST(Gguf, SpecialIdsAreWrittenUnderTheirKeys) {
  Bytes image = image_of(R"([["a", 0], ["<|pad|>", 0], ["<s>", 0]])");
  std::string text(image.begin(), image.end());
  auto value_of = [&](std::string_view key) {  // the UINT32 after the key and its type
    size_t at = text.find(key);
    EXPECT_NE(at, std::string::npos) << key;
    uint32_t type, v;
    std::memcpy(&type, text.data() + at + key.size(), 4);
    std::memcpy(&v, text.data() + at + key.size() + 4, 4);
    EXPECT_EQ(type, 4u);
    return v;
  };
  EXPECT_EQ(value_of("tokenizer.ggml.bos_token_id"), 2u);
  EXPECT_EQ(value_of("tokenizer.ggml.eos_token_id"), kNoSpecialId);
  EXPECT_EQ(value_of("tokenizer.ggml.unknown_token_id"), kNoSpecialId);
  EXPECT_EQ(value_of("tokenizer.ggml.padding_token_id"), 1u);
  EXPECT_EQ(text.size() - text.find("tokenizer.ggml.padding_token_id"), 31u + 8u);
}

TEST(Gguf, TokenTypes) {
  struct Case {
    const char* token;
    GgufTokenType type;
  };
  for (Case c : {
           Case{"<0x0A>", GgufTokenType::byte},
           Case{"<0xfa>", GgufTokenType::byte},
           Case{"<0xG1>", GgufTokenType::normal},
           Case{"<0x0A0>", GgufTokenType::normal},
           Case{"<0X0A>", GgufTokenType::normal},
           Case{"<unk>", GgufTokenType::unknown},
           Case{"<|unk|>", GgufTokenType::unknown},
           Case{"<s>", GgufTokenType::control},
           Case{"</s>", GgufTokenType::control},
           Case{"<pad>", GgufTokenType::control},
           Case{"<|bos|>", GgufTokenType::control},
           Case{"<|eos|>", GgufTokenType::control},
           Case{"<|pad|>", GgufTokenType::control},
           Case{"<|user_x|>", GgufTokenType::user_defined},
           Case{"<|custom_9|>", GgufTokenType::user_defined},
           Case{"<|user_", GgufTokenType::user_defined},
           Case{"<|custom_", GgufTokenType::user_defined},
           Case{"<|endoftext|>", GgufTokenType::control},
           Case{"<|>", GgufTokenType::control},
           Case{"<||>", GgufTokenType::control},
           Case{"<|", GgufTokenType::normal},
           Case{"|>", GgufTokenType::normal},
           Case{"", GgufTokenType::normal},
           Case{"<S>", GgufTokenType::normal},
           Case{"hello", GgufTokenType::normal},
       }) {
    EXPECT_EQ(classify_token_type(c.token), c.type) << c.token;
  }
}

TEST(Gguf, EntriesCarryTheirTokenTypes) {
  auto entries = entries_of(R"([["<0x0A>", 0], ["<|user_x|>", 0], ["<|unk|>", 0], ["a", 0]])");
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].token_type, 6u);
  EXPECT_EQ(entries[1].token_type, 4u);
  EXPECT_EQ(entries[2].token_type, 2u);
  EXPECT_EQ(entries[3].token_type, 1u);
}

TEST(Gguf, AcceptedShapes) {
  EXPECT_EQ(entries_of(R"([["a", 0.0, 0, "x"]])").size(), 1u);  // fourth element ignored
  EXPECT_EQ(entries_of(R"( {"other": 1, "vocab": [["a", 0]]} )").size(), 1u);
  EXPECT_EQ(entries_of(R"([["", 0]])").size(), 1u);
  EXPECT_EQ(entries_of(R"({"vocab": 1, "vocab": [["a", 0]]})").size(), 1u);
  EXPECT_EQ(entries_of("\t\r\n[[\"a\",0]]\n").size(), 1u);
  auto mixed = entries_of(R"([["a", 0, 1], ["b", 0, 0], ["c", 0]])");
  ASSERT_EQ(mixed.size(), 3u);
  EXPECT_EQ(mixed[0].token, "b");
  EXPECT_EQ(mixed[1].token, "a");
  EXPECT_EQ(mixed[2].token, "c");  // a two-element entry takes its position
}

TEST(Gguf, RefusedVocabularies) {
  for (const char* json : {
           R"([["a", 0.0], ["b", 0.0, 0]])",  // id 0 twice
           R"([["a", 0.0, 1]])",              // id 0 missing
           R"([["a", 0, 4294967296]])",
           R"([["a", 0, -1]])",
           R"([["a", 0, 1.0]])",
           R"([["a", 0, 0e0]])",
           R"([["a", 0, -0]])",
           R"([["a", 0, "0"]])",
           R"([["a", 0, null]])",
           R"([["a"]])",
           R"([[1, 0]])",
           R"([["a", "0"]])",
           R"([["a", null]])",
           R"(["a"])",
           R"({"vocab": {"a": 0}})",
           R"({"other": [["a", 0]]})",
           R"({"vocab": [["a", 0]], "vocab": 1})",
           R"("a")",
           "[]",
           R"({"vocab": []})",
           "",
           "  ",
           R"([["a", 0]] x)",
           R"([["a", 0]],)",
           R"([["a", 0],])",
           R"([["a", 1e400]])",
       }) {
    EXPECT_FALSE(parse_vocab_json(json).ok()) << json;
  }
}

TEST(Gguf, PushEntryAppendsOnlyAcceptedEntries) {
  auto doc = json::Document::parse(R"([["x", -1, 5], ["y", 2], [1, 0], ["z"]])");
  ASSERT_TRUE(doc.ok());
  simdjson::dom::array values = doc->root().get_array().value_unsafe();
  std::vector<TokenEntry> entries;
  EXPECT_TRUE(push_entry(entries, 0, values.at(0).value_unsafe()));
  EXPECT_TRUE(push_entry(entries, 9, values.at(1).value_unsafe()));
  EXPECT_FALSE(push_entry(entries, 2, values.at(2).value_unsafe()));
  EXPECT_FALSE(push_entry(entries, 3, values.at(3).value_unsafe()));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].id, 5u);
  EXPECT_EQ(entries[0].score, -1.0f);
  EXPECT_EQ(entries[1].id, 9u);
  EXPECT_EQ(entries[1].token, "y");
}

TEST(Gguf, ReadFileFailsOnMissingFileAndDirectory) {
  EXPECT_FALSE(read_file("/nonexistent/brindlore/vocab.json").ok());
  EXPECT_FALSE(read_file(BRINDLORE_SOURCE_DIR).ok());
  auto self = read_file(BRINDLORE_SOURCE_DIR "/tests/core/gguf_test.cc");
  ASSERT_TRUE(self.ok());
  EXPECT_NE(self->find("TwoEntryImageByteByByte"), std::string::npos);
}

TEST(Json, WidensOnlyMinusZeroAndOutOfRangeIntegers) {
  EXPECT_FALSE(json::widen_special_integers(R"([0, -1, 1.5, -0.0, -0e1, "-0", 18446744073709551615, -9223372036854775808])"));
  EXPECT_EQ(*json::widen_special_integers("[-0, 1]"), "[-0.0, 1]");
  EXPECT_EQ(*json::widen_special_integers("[18446744073709551616,-9223372036854775809]"),
            "[18446744073709551616.0,-9223372036854775809.0]");
  EXPECT_EQ(*json::widen_special_integers(R"(["\"-0", -0])"), R"(["\"-0", -0.0])");
}

TEST(Json, PlainU32) {
  auto doc = json::Document::parse(
      "[0, 4294967295, 4294967296, -1, 1.0, 1e0, -0, 18446744073709551615, \"1\"]");
  ASSERT_TRUE(doc.ok());
  simdjson::dom::array values = doc->root().get_array().value_unsafe();
  std::vector<std::optional<uint32_t>> got;
  for (simdjson::dom::element v : values) {
    got.push_back(json::plain_u32(v));
  }
  std::vector<std::optional<uint32_t>> want = {0u, 4294967295u, std::nullopt, std::nullopt,
                                               std::nullopt, std::nullopt, std::nullopt,
                                               std::nullopt, std::nullopt};
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace brindlore
