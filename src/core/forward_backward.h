// Forward-backward expectations of the unigram model for one text: the
// expected count of every vocabulary token over all segmentations of the text,
// weighted by `freq`, and freq times the log partition value.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/trie.h"

namespace brindlore {

struct Expectations {
  // (token, expected count) in the order in which each token was first
  // counted; each token appears once.
  std::vector<std::pair<const std::string*, double>> counts;
  double weighted_log_z = 0.0;
};

// Expectations of valid UTF-8 `text` over `trie` (token pointers point into
// it). Refuses a `freq` that is NaN, infinite or below zero (-0.0 passes);
// returns nothing for an empty text or a zero `freq`; fails when no chain of
// vocabulary tokens covers the text. Only reads the trie; no cache.
Result<Expectations> forward_backward(std::string_view text, const RustPrefixTrie& trie,
                                      double freq);

}  // namespace brindlore
