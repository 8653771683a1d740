// The shell of the module `normalizer`: the two normalization functions.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// Method records of rust_normalize and rust_normalize_with_alignment, kept for
// the process.
PyMethodDef* rust_normalize_function();
PyMethodDef* rust_normalize_with_alignment_function();

}  // namespace brindlore::py
