#include "core/c_tokenizer.h"

#include "core/pipeline.h"
#include "core/rust_tokenizer.h"
#include "core/vocab_json.h"

namespace brindlore {

Result<CTokenizer> make_c_tokenizer(std::string_view vocab_json) {
  Result<std::vector<VocabTriple>> entries = parse_vocab_triples(vocab_json);
  if (!entries) return std::move(entries).error();
  CTokenizer tokenizer;
  // Nobody can see the handle's cache, so it is a tokenizer's: it keeps the
  // pieces that repeat instead of emptying itself when full.
  tokenizer.trie.seg_cache().set_limits(RustTokenizer::kCacheLimits);
  for (const VocabTriple& e : *entries) {
    if (Status inserted = tokenizer.trie.insert_token(e.token, e.id, e.score); !inserted) {
      return std::move(inserted).error();
    }
    if (e.token == kUnkToken) tokenizer.unk_id = e.id;
  }
  tokenizer.trie.prepare_for_search();
  return tokenizer;
}

Status encode_ids(const CTokenizer& tokenizer, std::string_view text, std::vector<uint32_t>& ids) {
  // The default switches, U+2581 and byte fallback, but no grapheme snapping,
  // and the unknown token's id for tokens that have none.
  TextEncoding how;
  how.snap_to_graphemes = false;
  how.missing_id = tokenizer.unk_id;
  return encode_text_ids_into(text, tokenizer.trie, how, ids);
}

}  // namespace brindlore
