// The shell of the module `pipeline`.
#include "python/pipeline.h"

#include <vector>

#include "core/pretokenizer.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

namespace {

constexpr const char* kSingleText =
    "batch input must be a list or sequence of strings, not a single string/bytes object";
constexpr const char* kNotABatch = "batch input must be a list, tuple, or sequence of strings";

// collections.abc.Sequence, looked up on first need and kept for the process.
PyObject* sequence_class() {
  static PyObject* cls = nullptr;
  if (!cls) {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (module) cls = PyObject_GetAttrString(module.get(), "Sequence");
  }
  return cls;
}

// True when `obj` is a collections.abc.Sequence. A failing test is reported as
// unraisable and counts as "no".
bool is_abc_sequence(PyObject* obj) {
  PyObject* cls = sequence_class();
  int answer = cls ? PyObject_IsInstance(obj, cls) : -1;
  if (answer < 0) {
    PyErr_WriteUnraisable(obj);
    return false;
  }
  return answer == 1;
}

// Reads a list or tuple by index from its own storage, also while a list
// shrinks under us.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Result<BorrowedBatch> from_storage(PyObject* obj) {
  BorrowedBatch batch;
  std::string error;
  const Py_ssize_t initial = Size(obj);
  batch.reserve(static_cast<size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < Size(obj); ++i) {
    Ref item = Ref::borrow(Item(obj, i));
    if (!batch.append(item.get(), error)) return make_error(std::move(error));
  }
  return batch;
}

Result<BorrowedBatch> from_sequence(PyObject* obj) {
  BorrowedBatch batch;
  std::string error;
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) return make_error(take_rendered_error());
  // A sequence may claim any length: reserve at most a million entries up
  // front and let the rest grow as items actually arrive.
  constexpr size_t kMaxReserve = size_t{1} << 20;
  const auto claimed = static_cast<size_t>(length);
  batch.reserve(claimed < kMaxReserve ? claimed : kMaxReserve);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return make_error(take_rendered_error());
    if (!batch.append(item.get(), error)) return make_error(std::move(error));
  }
  return batch;
}

Result<BorrowedBatch> from_iterator(PyObject* iterator) {
  BorrowedBatch batch;
  std::string error;
  while (Ref item = Ref::steal(PyIter_Next(iterator))) {
    if (!batch.append(item.get(), error)) return make_error(std::move(error));
  }
  if (PyErr_Occurred()) return make_error(take_rendered_error());
  return batch;
}

}  // namespace

bool BorrowedBatch::append(PyObject* item, std::string& error) {
  Ref bytes;
  if (!PyUnicode_Check(item)) {
    raise_not_instance(item, "str");
  } else {
    bytes = Ref::steal(PyUnicode_AsUTF8String(item));
  }
  if (!bytes) {
    error = "batch elements must be strings: " + take_rendered_error();
    return false;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  PyBytes_AsStringAndSize(bytes.get(), &data, &size);
  views_.emplace_back(data, static_cast<size_t>(size));
  owners_.push_back(std::move(bytes));
  return true;
}

Result<BorrowedBatch> extract_borrowed_strings(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return make_error(kSingleText);
  if (PyList_Check(obj)) return from_storage<PyList_Size, PyList_GetItem>(obj);
  if (PyTuple_Check(obj)) return from_storage<PyTuple_Size, PyTuple_GetItem>(obj);
  if (is_abc_sequence(obj)) return from_sequence(obj);
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) {
    PyErr_Clear();
    return make_error(kNotABatch);
  }
  return from_iterator(iterator.get());
}

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
