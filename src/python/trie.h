// The Python class RustPrefixTrie and the `trie` parameter that module
// functions take.
#pragma once

#include "core/trie.h"
#include "python/binding.h"

namespace brindlore::py {

using TrieBox = Box<RustPrefixTrie>;

// The class object, created on first need and kept for the process (borrowed).
PyTypeObject* rust_prefix_trie_type();

// A `trie` argument held in shared use until the holder goes away.
class TrieArg {
 public:
  const RustPrefixTrie& get() const noexcept { return *trie_; }
  const RustPrefixTrie* operator->() const noexcept { return trie_; }

  // Converts parameter `i` of `args`: only a RustPrefixTrie is accepted.
  bool convert(const Args& args, size_t i);

 private:
  SharedUse use_;
  const RustPrefixTrie* trie_ = nullptr;
};

}  // namespace brindlore::py
