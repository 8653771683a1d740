// The tokenizer behind a C handle: a vocabulary trie of its own (with its own
// segmentation cache) and the id emitted for tokens that have none.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/trie.h"

namespace brindlore {

struct CTokenizer {
  RustPrefixTrie trie;  // no length limit; cache allocated on first use, with a tokenizer's limits
  uint32_t unk_id = 0;  // id of the last "<|unk|>" entry in array order
};

// Builds a tokenizer from the strict JSON vocabulary (see vocab_json.h), text
// that must be valid UTF-8. Entries are inserted in array order, so a repeated
// token keeps its last id and score, and the last "<|unk|>" gives `unk_id`.
// Fails on a vocabulary that the JSON check or the trie refuses (an empty
// token).
//
// Thread safety: the result is immutable but for its trie's segmentation
// cache, which has its own lock; any number of threads may encode with it.
Result<CTokenizer> make_c_tokenizer(std::string_view vocab_json);

// Appends the ids of valid UTF-8 `text` to `ids`: NFKC with Unicode spaces
// turned into U+2581 (the other switches off), the matches of the full
// pre-tokenizer pattern as pieces (not snapped to grapheme clusters), each
// decoded through the trie's cache with byte fallback; a token without an id
// (a byte piece the vocabulary lacks) becomes `unk_id`. Fails only when
// normalization or decoding does, leaving `ids` in an unspecified state.
//
// Thread safety: any number of threads may encode with one tokenizer at once.
Status encode_ids(const CTokenizer& tokenizer, std::string_view text, std::vector<uint32_t>& ids);

}  // namespace brindlore
