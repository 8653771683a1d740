#include "python/registry.h"

#include "python/trie.h"

namespace brindlore::py {

std::span<const Registration> registrations() {
  static const Registration rows[] = {
      {"RustPrefixTrie", &rust_prefix_trie_type, nullptr},
  };
  return rows;
}

}  // namespace brindlore::py
