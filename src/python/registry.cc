#include "python/registry.h"

#include "python/pipeline.h"
#include "python/trie.h"

namespace brindlore::py {

std::span<const Registration> registrations() {
  static const Registration rows[] = {
      {"RustPrefixTrie", &rust_prefix_trie_type, nullptr},
      {"rust_pre_tokenize", nullptr, &rust_pre_tokenize_function},
  };
  return rows;
}

}  // namespace brindlore::py
