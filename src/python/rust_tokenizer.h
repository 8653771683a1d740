// The shell of the module `rust_tokenizer`: the RustTokenizer class and the
// pipeline timing diagnostic.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// The class object, created on first need and kept for the process (borrowed).
PyTypeObject* rust_tokenizer_type();

// Method record of rust_diagnostic_batch, kept for the process.
PyMethodDef* rust_diagnostic_batch_function();

}  // namespace brindlore::py
