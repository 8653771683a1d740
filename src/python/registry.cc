#include "python/registry.h"

#include "python/normalizer.h"
#include "python/pipeline.h"
#include "python/seed.h"
#include "python/trie.h"

namespace brindlore::py {

std::span<const Registration> registrations() {
  static const Registration rows[] = {
      {"RustPrefixTrie", &rust_prefix_trie_type, nullptr},
      {"rust_normalize", nullptr, &rust_normalize_function},
      {"rust_normalize_with_alignment", nullptr, &rust_normalize_with_alignment_function},
      {"rust_mine_ngrams", nullptr, &rust_mine_ngrams_function},
      {"rust_pre_tokenize", nullptr, &rust_pre_tokenize_function},
  };
  return rows;
}

}  // namespace brindlore::py
