// The shell of the module `pipeline`.
#include "python/pipeline.h"

#include <vector>

#include "core/pretokenizer.h"

namespace brindlore::py {

// ---- Batch argument extraction ----



// ---- Pre-tokenization ----

namespace {

constexpr Param kPreTokenizeParams[] = {{"text"}};
const FunctionSpec kPreTokenize{"rust_pre_tokenize", nullptr, kPreTokenizeParams};

// A new list holding one str per byte range of `text`.
PyObject* piece_list(std::string_view text, const std::vector<ByteRange>& pieces) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pieces.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pieces.size(); ++i) {
    PyObject* item = new_str(text.substr(pieces[i].start, pieces[i].end - pieces[i].start));
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* rust_pre_tokenize(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  Args a;
  if (!a.bind(kPreTokenize, args, nargs, kwnames)) return nullptr;
  std::string_view text;
  if (!a.str(0, text)) return nullptr;
  std::vector<ByteRange> pieces;
  snapped_pretoken_ranges(text, get_full_pretok_regex(), pieces);
  return piece_list(text, pieces);
}

}  // namespace

PyMethodDef* rust_pre_tokenize_function() {
  static PyMethodDef def = method_def<rust_pre_tokenize>(kPreTokenize);
  return &def;
}

}  // namespace brindlore::py
