#include "core/c_tokenizer.h"

#include "core/vocab_json.h"

namespace brindlore {

Result<CTokenizer> make_c_tokenizer(std::string_view vocab_json) {
  Result<std::vector<VocabTriple>> entries = parse_vocab_triples(vocab_json);
  if (!entries) return std::move(entries).error();
  CTokenizer tokenizer;
  for (const VocabTriple& e : *entries) {
    if (Status inserted = tokenizer.trie.insert_token(e.token, e.id, e.score); !inserted) {
      return std::move(inserted).error();
    }
    if (e.token == kUnkToken) tokenizer.unk_id = e.id;
  }
  return tokenizer;
}

}  // namespace brindlore
