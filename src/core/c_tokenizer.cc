#include "core/c_tokenizer.h"

#include "core/normalizer.h"
#include "core/pretokenizer.h"
#include "core/rust_tokenizer.h"
#include "core/viterbi.h"
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
  constexpr char32_t kSpaceChar = 0x2581;
  constexpr NormalizeSwitches kSwitches{.normalize_unicode = true,
                                        .normalize_unicode_spaces = true,
                                        .normalize_punctuation = false,
                                        .lowercase = false,
                                        .collapse_whitespaces = false,
                                        .strip_whitespace = false};
  Result<std::string> normalized = normalize_inner(text, kSpaceChar, kSwitches);
  if (!normalized) return std::move(normalized).error();
  std::vector<ByteRange> pieces;
  get_full_pretok_regex().find_all(*normalized, pieces);
  const std::string_view norm = *normalized;
  // As the pipeline's id encodes do: every piece is hashed first, so that the
  // lines its lookups read are requested ahead of them, and the table all
  // threads share is asked before the cache.
  const SegCache& cache = tokenizer.trie.seg_cache();
  SharedIdFront* shared = SharedIdFront::instance();
  std::vector<SegCache::Probe> keys;
  keys.reserve(pieces.size());
  for (ByteRange piece : pieces) {
    keys.push_back(cache.probe(true, norm.substr(piece.start, piece.end - piece.start)));
    cache.prefetch(keys.back().hash);
    if (shared) shared->prefetch(keys.back().hash);
  }
  ids.reserve(ids.size() + pieces.size());  // at least one id per piece
  FrontCache& front = FrontCache::of_this_thread();
  LatticeMemory& memory = lattice_memory();
  for (const SegCache::Probe& key : keys) {
    InlineIds hit;
    if (shared && shared->find(cache.generation(), key, hit)) {
      ids.insert(ids.end(), hit.ids, hit.ids + hit.count);
      continue;
    }
    Result<CachedPiece> decoded = decode_cached_here(key, tokenizer.trie, false, front, memory);
    if (!decoded) return std::move(decoded).error();
    if (decoded->ids->present) {
      ids.insert(ids.end(), decoded->ids->ids, decoded->ids->ids + decoded->ids->count);
      continue;
    }
    for (const CachedSpan& span : decoded->span_list()) {
      ids.push_back(span.token_id().value_or(tokenizer.unk_id));
    }
  }
  front.release_held();
  return Ok{};
}

}  // namespace brindlore
