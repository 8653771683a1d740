#include "core/rust_tokenizer.h"

#include <algorithm>
#include <chrono>

#include "core/normalizer.h"
#include "core/pipeline.h"
#include "core/pretokenizer.h"
#include "core/utf8.h"
#include "core/viterbi.h"

namespace brindlore {
namespace {

// The encode settings of a tokenizer: fixed switches, no message prefix.
TextEncoding encoding_of(const RustTokenizer& tokenizer) {
  TextEncoding how;
  how.space_char = tokenizer.space_char();
  how.byte_fallback = tokenizer.byte_fallback();
  return how;
}

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count());
}

// Keeps the compiler from eliding work whose only effect is memory traffic.
void keep_alive(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

}  // namespace

RustPrefixTrie make_tokenizer_trie() {
  RustPrefixTrie trie = RustPrefixTrie::make_new(std::nullopt);
  trie.seg_cache().set_limits(RustTokenizer::kCacheLimits);
  return trie;
}

Status insert_entries(RustPrefixTrie& trie, std::span<const VocabEntry> entries) {
  for (const VocabEntry& e : entries) {
    if (Status inserted = trie.insert_token(e.token, e.id, e.score); !inserted) return inserted;
  }
  // The vocabulary is complete: searches can use the compact form at once.
  trie.prepare_for_search();
  return Ok{};
}

Result<RustTokenizer> RustTokenizer::build(std::span<const VocabEntry> entries,
                                           char32_t space_char, bool byte_fallback) {
  RustPrefixTrie trie = make_tokenizer_trie();
  if (Status filled = insert_entries(trie, entries); !filled) return std::move(filled).error();
  return RustTokenizer(std::move(trie), space_char, byte_fallback);
}

Status RustTokenizer::replace_vocab(std::span<const VocabEntry> entries) {
  // The new vocabulary is built aside, so that a refused entry leaves the
  // working one, and its warm cache, exactly as they were.
  RustPrefixTrie trie = make_tokenizer_trie();
  if (Status filled = insert_entries(trie, entries); !filled) return filled;
  trie_ = std::move(trie);
  return Ok{};
}

Result<std::vector<std::string>> RustTokenizer::encode(std::string_view text) const {
  return encode_text_tokens(text, trie_, encoding_of(*this));
}

Result<std::vector<uint32_t>> RustTokenizer::encode_ids(std::string_view text) const {
  return encode_text_ids(text, trie_, encoding_of(*this));
}

Status RustTokenizer::encode_ids_into(std::string_view text, std::vector<uint32_t>& out) const {
  return encode_text_ids_into(text, trie_, encoding_of(*this), out);
}

Status diagnose_pipeline_text(std::string_view text, const RustPrefixTrie& trie,
                              bool byte_fallback, PipelineTimings& sums) {
  Clock::time_point start = Clock::now();
  Result<std::string> normalized = normalize_inner(text, 0x2581, NormalizeSwitches{});
  sums.norm += seconds_since(start);
  if (!normalized) return std::move(normalized).error();
  const std::string_view norm = *normalized;

  start = Clock::now();
  std::vector<ByteRange> pieces;
  get_full_pretok_regex().find_all(norm, pieces);
  sums.pre += seconds_since(start);
  sums.chunks += pieces.size();

  std::vector<char32_t> chars;
  for (const ByteRange& range : pieces) {
    const std::string_view piece = norm.substr(range.start, range.end - range.start);
    const bool ascii = utf8::is_ascii(piece);
    start = Clock::now();
    Result<std::vector<ViterbiSpan>> spans = [&] {
      if (ascii) return viterbi_decode_ascii(piece, trie, byte_fallback, std::nullopt);
      utf8::to_code_points(piece, chars);
      return viterbi_decode_chars(chars, trie, byte_fallback, std::nullopt);
    }();
    sums.viterbi += seconds_since(start);
    if (!spans) return std::move(spans).error();
    sums.tokens += spans->size();
    sums.states += (ascii ? piece.size() : utf8::count_chars(piece)) + 1;

    start = Clock::now();
    {
      std::vector<std::string> tokens;
      tokens.reserve(spans->size());
      for (const ViterbiSpan& span : *spans) tokens.push_back(span.token);
      keep_alive(tokens.data());
    }
    sums.alloc += seconds_since(start);
  }
  return Ok{};
}

}  // namespace brindlore
