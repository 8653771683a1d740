// The shell of the module `pipeline`: batch argument extraction and the
// pre-tokenizer entry points.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

// ---- Pre-tokenization ----

}  // namespace brindlore::py
