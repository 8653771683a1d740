// The shell of the module `viterbi`: the ViterbiSpan class, the decode
// functions, forward-backward expectations and the lattice diagnostic.
#pragma once

#include "python/binding.h"

namespace brindlore::py {

// The class object, created on first need and kept for the process (borrowed).
PyTypeObject* viterbi_span_type();

// Method records of the module functions, kept for the process.
PyMethodDef* rust_viterbi_decode_function();
PyMethodDef* rust_diagnostic_viterbi_function();
PyMethodDef* rust_viterbi_decode_batch_function();
PyMethodDef* rust_encode_tokens_batch_function();
PyMethodDef* rust_encode_ids_batch_function();
PyMethodDef* rust_forward_backward_expectations_function();

}  // namespace brindlore::py
