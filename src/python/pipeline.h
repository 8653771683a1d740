// The shell of the module `pipeline`: the pre-tokenizer and the fused
// encoders.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// ---- Pre-tokenization ----

// Method record of rust_pre_tokenize, kept for the process.
PyMethodDef* rust_pre_tokenize_function();

// ---- Fused encoders ----

// Method records, kept for the process.
PyMethodDef* rust_encode_text_batch_function();
PyMethodDef* rust_encode_text_native_function();
PyMethodDef* rust_encode_text_native_batch_function();
PyMethodDef* rust_encode_text_native_ids_function();
PyMethodDef* rust_encode_text_native_ids_batch_function();

}  // namespace brindlore::py
