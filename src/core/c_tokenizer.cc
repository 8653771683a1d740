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

namespace {

// Buffers that a thread's encodes reuse from text to text, so that a call
// allocates nothing but its result.
struct EncodeScratch {
  std::string normalized;
  std::vector<ByteRange> pieces;
  std::vector<SegCache::Probe> keys;

  // Gives back the room an unusually long text took.
  void trim() {
    constexpr size_t kKeepBytes = size_t{1} << 20;
    if (normalized.capacity() > kKeepBytes) normalized = {};
    if (pieces.capacity() * sizeof(ByteRange) > kKeepBytes) pieces = {};
    if (keys.capacity() * sizeof(SegCache::Probe) > kKeepBytes) keys = {};
  }
};

}  // namespace

Status encode_ids(const CTokenizer& tokenizer, std::string_view text, std::vector<uint32_t>& ids) {
  constexpr char32_t kSpaceChar = 0x2581;
  constexpr NormalizeSwitches kSwitches{.normalize_unicode = true,
                                        .normalize_unicode_spaces = true,
                                        .normalize_punctuation = false,
                                        .lowercase = false,
                                        .collapse_whitespaces = false,
                                        .strip_whitespace = false};
  thread_local EncodeScratch scratch;
  EncodeScratch& buffers = scratch;
  struct Trim {
    EncodeScratch& buffers;
    ~Trim() { buffers.trim(); }
  } trim{buffers};
  if (Status done = normalize_into(text, kSpaceChar, kSwitches, buffers.normalized); !done) {
    return done;
  }
  const std::string_view norm = buffers.normalized;
  std::vector<ByteRange>& pieces = buffers.pieces;
  pieces.clear();
  get_full_pretok_regex().find_all(norm, pieces);
  // As the pipeline's id encodes do: every piece is hashed first, so that the
  // lines its lookups read are requested ahead of them, and the table all
  // threads share is asked before the cache. The buffers are read through
  // plain pointers, so that the thread's object is not looked up again.
  const SegCache& cache = tokenizer.trie.seg_cache();
  SharedIdFront* shared = SharedIdFront::instance();
  if (buffers.keys.size() < pieces.size()) buffers.keys.resize(pieces.size());
  SegCache::Probe* const keys = buffers.keys.data();
  const size_t count = pieces.size();
  for (size_t i = 0; i < count; ++i) {
    const ByteRange piece = pieces[i];
    keys[i] = cache.probe(true, norm.substr(piece.start, piece.end - piece.start));
    cache.prefetch(keys[i].hash);
    // The table keeps short pieces only.
    if (shared && keys[i].text.size() <= SharedIdFront::kMaxKeyBytes) {
      shared->prefetch(keys[i].hash);
    }
  }
  ids.reserve(ids.size() + count);  // at least one id per piece
  FrontCache& front = FrontCache::of_this_thread();
  LatticeMemory& memory = lattice_memory();
  for (size_t i = 0; i < count; ++i) {
    const SegCache::Probe& key = keys[i];
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
