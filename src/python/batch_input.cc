#include "python/batch_input.h"

namespace brindlore::py {

namespace {

constexpr const char* kSingleText =
    "batch input must be a list or sequence of strings, not a single string/bytes object";
constexpr const char* kNotABatch = "batch input must be a list, tuple, or sequence of strings";
constexpr std::string_view kElements = "batch elements must be strings: ";

// collections.abc.Sequence, looked up on first need and kept for the process;
// null with an exception set when the lookup fails.
PyObject* sequence_class() {
  static PyObject* cls = nullptr;
  if (!cls) {
    Ref module =
        Ref::steal(calling_python([] { return PyImport_ImportModule("collections.abc"); }));
    if (module) {
      cls = calling_python([&] { return PyObject_GetAttrString(module.get(), "Sequence"); });
    }
  }
  return cls;
}

// The refusal for the error that reading the input raised: its rendering after
// `prefix`. An interrupt or MemoryError stays pending instead, so that the
// caller's raise_core lets it through unchanged.
CoreError refusal_of_pending(std::string_view prefix = {}) {
  if (pending_error_propagates()) return CoreError{};
  std::string text = take_rendered_error();
  if (PyErr_Occurred()) return CoreError{};  // rendering it was interrupted
  return CoreError{std::string(prefix) + text};
}

// Asks for the memory of a list's or tuple's item `object` a few items ahead
// of its turn, for writing (taking a reference writes its count). The strs
// of a batch are scattered over the heap, and reading each in turn would
// wait on memory at every one. The header and the fields after it that the
// UTF-8 lookup reads span up to two cache lines.
constexpr Py_ssize_t kPrefetchAhead = 8;
void prefetch_object(const PyObject* object) noexcept {
  __builtin_prefetch(object, 1);
  __builtin_prefetch(reinterpret_cast<const char*>(object) + 63, 1);
}

// Reads a list or tuple by index from its own storage, also while a list
// shrinks under us.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Status from_storage(PyObject* obj, BorrowedBatch& batch) {
  const Py_ssize_t initial = Size(obj);
  batch.reserve(static_cast<size_t>(initial));
  for (Py_ssize_t i = 0; i < initial; ++i) {
    const Py_ssize_t size = Size(obj);
    if (i >= size) break;
    if (i + kPrefetchAhead < size) prefetch_object(Item(obj, i + kPrefetchAhead));
    if (!batch.append(Ref::borrow(Item(obj, i)))) return refusal_of_pending(kElements);
  }
  return Ok{};
}

Status from_sequence(PyObject* obj, BorrowedBatch& batch) {
  const Py_ssize_t length = sequence_size(obj);
  if (length < 0) return refusal_of_pending();
  // A sequence may claim any length: reserve at most a million entries up
  // front and let the rest grow as items actually arrive.
  constexpr size_t kMaxReserve = size_t{1} << 20;
  const auto claimed = static_cast<size_t>(length);
  batch.reserve(claimed < kMaxReserve ? claimed : kMaxReserve);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = sequence_item(obj, i);
    if (!item) return refusal_of_pending();
    if (!batch.append(std::move(item))) return refusal_of_pending(kElements);
  }
  return Ok{};
}

Status from_iterator(PyObject* iterator, BorrowedBatch& batch) {
  while (Ref item = next_item(iterator)) {
    if (!batch.append(std::move(item))) return refusal_of_pending(kElements);
  }
  if (PyErr_Occurred()) return refusal_of_pending();
  return Ok{};
}

}  // namespace

int is_abc_sequence(PyObject* obj) {
  PyObject* cls = sequence_class();
  const int answer = cls ? instance_of(obj, cls) : -1;
  if (answer >= 0) return answer;
  if (pending_error_propagates()) return -1;
  calling_python([obj] { PyErr_WriteUnraisable(obj); });
  return 0;
}

bool BorrowedBatch::append(Ref item) {
  // The str's own UTF-8 form: its text itself when it is ASCII, else made
  // once and kept by the str, valid for as long as the str lives, which the
  // batch's reference ensures. No text is copied into a bytes object.
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyUnicode_Check(item.get())) {
    raise_not_instance(item.get(), "str");
  } else {
    data = PyUnicode_AsUTF8AndSize(item.get(), &size);
  }
  if (!data) return false;
  views_.emplace_back(data, static_cast<size_t>(size));
  owners_.push_back(std::move(item));
  return true;
}

Status extract_borrowed_strings(PyObject* obj, BorrowedBatch& batch) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return make_error(kSingleText);
  if (PyList_Check(obj)) return from_storage<PyList_Size, PyList_GetItem>(obj, batch);
  if (PyTuple_Check(obj)) return from_storage<PyTuple_Size, PyTuple_GetItem>(obj, batch);
  const int sequence = is_abc_sequence(obj);
  if (sequence < 0) return CoreError{};
  if (sequence) return from_sequence(obj, batch);
  Ref iterator = get_iter(obj);
  if (!iterator) {
    if (pending_error_propagates()) return CoreError{};
    PyErr_Clear();
    return make_error(kNotABatch);
  }
  return from_iterator(iterator.get(), batch);
}

}  // namespace brindlore::py
