#include "python/registry.h"

#include "python/trie.h"
#include "python/viterbi.h"

namespace brindlore::py {

std::span<const Registration> registrations() {
  static const Registration rows[] = {
      {"RustPrefixTrie", &rust_prefix_trie_type, nullptr},
      {"ViterbiSpan", &viterbi_span_type, nullptr},
      {"rust_viterbi_decode", nullptr, &rust_viterbi_decode_def},
      {"rust_diagnostic_viterbi", nullptr, &rust_diagnostic_viterbi_def},
      {"rust_viterbi_decode_batch", nullptr, &rust_viterbi_decode_batch_def},
      {"rust_encode_tokens_batch", nullptr, &rust_encode_tokens_batch_def},
      {"rust_encode_ids_batch", nullptr, &rust_encode_ids_batch_def},
      {"rust_forward_backward_expectations", nullptr, &rust_forward_backward_expectations_def},
  };
  return rows;
}

}  // namespace brindlore::py
