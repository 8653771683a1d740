// The shell of the module `pipeline`.
#include "python/pipeline.h"

namespace brindlore::py {

// ---- Batch argument extraction ----



// ---- Pre-tokenization ----



}  // namespace brindlore::py
