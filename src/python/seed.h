// The shell of the module `seed`: rust_mine_ngrams.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// Method record of rust_mine_ngrams, kept for the process.
PyMethodDef* rust_mine_ngrams_function();

}  // namespace brindlore::py
