// Reading one entry of a GGUF vocabulary file from its parsed JSON value.
// Kept apart from gguf.h so that the export's callers do not see simdjson.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <vector>

#include "core/gguf.h"

namespace brindlore {

// Checks one entry value of the vocabulary file: an array of at least two
// elements (token string, score number, then an optional id that is a plain
// integer up to 4294967295; further elements are ignored). Appends its entry,
// with the id defaulting to `index`, and returns true; returns false and
// appends nothing when the value is rejected.
bool push_entry(std::vector<TokenEntry>& entries, size_t index, simdjson::dom::element value);

}  // namespace brindlore
