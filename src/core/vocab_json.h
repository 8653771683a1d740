// The strict JSON vocabulary of a C tokenizer handle: an array of
// [token, score, id] arrays, exactly three elements each, ids forming exactly
// 0 to n-1, and at least one "<|unk|>" entry.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace brindlore {

// One entry of the vocabulary, as written.
struct VocabTriple {
  std::string token;
  double score = 0.0;  // natural-log probability; integer literals converted
  uint32_t id = 0;
};

// The text reserved for the unknown token.
inline constexpr std::string_view kUnkToken = "<|unk|>";

// The entries of `text` (valid UTF-8) in array order. Fails when the text is
// not an array of three-element [string, number, id] arrays with only JSON
// whitespace around it (an id is a plain integer from 0 to 4294967295), when
// the array is empty, when the ids are not exactly 0 to n-1 each once, or when
// no token is exactly "<|unk|>". Empty and repeated token texts pass here;
// whoever inserts the entries refuses what it cannot hold.
//
// Pure and thread-safe.
Result<std::vector<VocabTriple>> parse_vocab_triples(std::string_view text);

}  // namespace brindlore
