#include "python/registry.h"

#include "python/normalizer.h"
#include "python/pipeline.h"
#include "python/rust_tokenizer.h"
#include "python/seed.h"
#include "python/trie.h"
#include "python/viterbi.h"

namespace brindlore::py {

std::span<const Registration> registrations() {
  static const Registration rows[] = {
      {"RustPrefixTrie", &rust_prefix_trie_type, nullptr},
      {"RustTokenizer", &rust_tokenizer_type, nullptr},
      {"ViterbiSpan", &viterbi_span_type, nullptr},
      {"rust_viterbi_decode", nullptr, &rust_viterbi_decode_function},
      {"rust_diagnostic_viterbi", nullptr, &rust_diagnostic_viterbi_function},
      {"rust_viterbi_decode_batch", nullptr, &rust_viterbi_decode_batch_function},
      {"rust_encode_tokens_batch", nullptr, &rust_encode_tokens_batch_function},
      {"rust_encode_ids_batch", nullptr, &rust_encode_ids_batch_function},
      {"rust_encode_text_batch", nullptr, &rust_encode_text_batch_function},
      {"rust_encode_text_native", nullptr, &rust_encode_text_native_function},
      {"rust_encode_text_native_batch", nullptr, &rust_encode_text_native_batch_function},
      {"rust_encode_text_native_ids", nullptr, &rust_encode_text_native_ids_function},
      {"rust_encode_text_native_ids_batch", nullptr, &rust_encode_text_native_ids_batch_function},
      {"rust_forward_backward_expectations", nullptr, &rust_forward_backward_expectations_function},
      {"rust_normalize", nullptr, &rust_normalize_function},
      {"rust_normalize_with_alignment", nullptr, &rust_normalize_with_alignment_function},
      {"rust_mine_ngrams", nullptr, &rust_mine_ngrams_function},
      {"rust_pre_tokenize", nullptr, &rust_pre_tokenize_function},
      {"rust_diagnostic_batch", nullptr, &rust_diagnostic_batch_function},
  };
  return rows;
}

}  // namespace brindlore::py
