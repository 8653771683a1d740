// The shell of the module `pipeline`: batch argument extraction and the
// pre-tokenizer entry points.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

// ---- Pre-tokenization ----

// Method record of rust_pre_tokenize, kept for the process.
PyMethodDef* rust_pre_tokenize_function();

}  // namespace brindlore::py
