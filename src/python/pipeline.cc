// The shell of the module `pipeline`.
#include "python/pipeline.h"

#include <array>
#include <vector>

#include "core/normalizer.h"
#include "core/pipeline.h"
#include "core/pretokenizer.h"
#include "python/batch.h"
#include "python/normalizer.h"
#include "python/trie.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

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
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (module) cls = PyObject_GetAttrString(module.get(), "Sequence");
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

// Reads a list or tuple by index from its own storage, also while a list
// shrinks under us.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*Item)(PyObject*, Py_ssize_t)>
Result<BorrowedBatch> from_storage(PyObject* obj) {
  BorrowedBatch batch;
  const Py_ssize_t initial = Size(obj);
  batch.reserve(static_cast<size_t>(initial));
  for (Py_ssize_t i = 0; i < initial && i < Size(obj); ++i) {
    Ref item = Ref::borrow(Item(obj, i));
    if (!batch.append(item.get())) return refusal_of_pending(kElements);
  }
  return batch;
}

Result<BorrowedBatch> from_sequence(PyObject* obj) {
  BorrowedBatch batch;
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) return refusal_of_pending();
  // A sequence may claim any length: reserve at most a million entries up
  // front and let the rest grow as items actually arrive.
  constexpr size_t kMaxReserve = size_t{1} << 20;
  const auto claimed = static_cast<size_t>(length);
  batch.reserve(claimed < kMaxReserve ? claimed : kMaxReserve);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(obj, i));
    if (!item) return refusal_of_pending();
    if (!batch.append(item.get())) return refusal_of_pending(kElements);
  }
  return batch;
}

Result<BorrowedBatch> from_iterator(PyObject* iterator) {
  BorrowedBatch batch;
  while (Ref item = Ref::steal(PyIter_Next(iterator))) {
    if (!batch.append(item.get())) return refusal_of_pending(kElements);
  }
  if (PyErr_Occurred()) return refusal_of_pending();
  return batch;
}

}  // namespace

int is_abc_sequence(PyObject* obj) {
  PyObject* cls = sequence_class();
  const int answer = cls ? PyObject_IsInstance(obj, cls) : -1;
  if (answer >= 0) return answer;
  if (pending_error_propagates()) return -1;
  PyErr_WriteUnraisable(obj);
  return 0;
}

BorrowedBatch::~BorrowedBatch() {
  if (interpreter_lock_lost()) {
    for (Ref& owner : owners_) owner.release();
  }
}

bool BorrowedBatch::append(PyObject* item) {
  // The str's own UTF-8 form: its text itself when it is ASCII, else made
  // once and kept by the str, valid for as long as the str lives, which the
  // batch's reference ensures. No text is copied into a bytes object.
  const char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyUnicode_Check(item)) {
    raise_not_instance(item, "str");
  } else {
    data = PyUnicode_AsUTF8AndSize(item, &size);
  }
  if (!data) return false;
  views_.emplace_back(data, static_cast<size_t>(size));
  owners_.push_back(Ref::borrow(item));
  return true;
}

Result<BorrowedBatch> extract_borrowed_strings(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return make_error(kSingleText);
  if (PyList_Check(obj)) return from_storage<PyList_Size, PyList_GetItem>(obj);
  if (PyTuple_Check(obj)) return from_storage<PyTuple_Size, PyTuple_GetItem>(obj);
  const int sequence = is_abc_sequence(obj);
  if (sequence < 0) return CoreError{};
  if (sequence) return from_sequence(obj);
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) {
    if (pending_error_propagates()) return CoreError{};
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

// ---- Fused encoders ----

namespace brindlore::py {

PyObject* new_str_list(const std::vector<std::string>& items) {
  return new_list(items.size(), [&](size_t i) { return new_str(items[i]); });
}

PyObject* new_id_list(const std::vector<uint32_t>& items) {
  return new_list(items.size(), [&](size_t i) { return PyLong_FromUnsignedLong(items[i]); });
}

namespace {

// The ten parameters of the fused encoders, `text` or `texts` first.
constexpr std::array<Param, 10> native_params(const char* first) {
  return with_normalization_params(
      std::array<Param, 3>{{{first}, {"trie"}, {"byte_fallback", "True"}}});
}
constexpr std::array<Param, 10> kNativeParams = native_params("text");
constexpr std::array<Param, 10> kNativeBatchParams = native_params("texts");

const FunctionSpec kNative{
    "rust_encode_text_native", nullptr, kNativeParams,
    "Fused single-text encode: normalize + full pre-tokenizer regex + Viterbi in\n"
    "ONE FFI crossing. Only equivalent to the Python pipeline when the caller\n"
    "gates on the same config the Python path would use (see\n"
    "`CustomTokenizer._native_pipeline_kwargs`); this function additionally\n"
    "refuses texts that would need security-shield escaping."};
const FunctionSpec kNativeIds{
    "rust_encode_text_native_ids", nullptr, kNativeParams,
    "Fused single-text encode to token IDs: normalize + full pre-tokenizer regex + Viterbi -> u32 "
    "IDs in ONE FFI call."};
const FunctionSpec kNativeBatch{
    "rust_encode_text_native_batch", nullptr, kNativeBatchParams,
    "Fused batch encode: one FFI + Rayon across texts. On any per-text rejection\n"
    "(e.g. control-token syntax) the whole batch errors so the caller can fall\n"
    "back to the Python pipeline wholesale."};
const FunctionSpec kNativeIdsBatch{
    "rust_encode_text_native_ids_batch", nullptr, kNativeBatchParams,
    "Fused batch encode to token IDs: one FFI + Rayon across texts directly returning "
    "Vec<Vec<u32>>."};

// Parameters 1 to 9 of the fused encoders, converted in parameter order.
struct NativeOptions {
  TrieArg trie;
  bool byte_fallback = true;
  char32_t space_char = 0x2581;
  NormalizeSwitches s;

  bool convert(const Args& a) {
    return trie.convert(a, 1) && a.boolean(2, byte_fallback) &&
           convert_normalization(a, 3, space_char, s);
  }

  // The fused encode of one text (`Inner` is one of the two fused operations).
  template <auto Inner>
  auto encode(std::string_view text) const {
    return Inner(text, trie.get(), byte_fallback, space_char, s);
  }
};

// One text, interpreter lock held throughout.
template <auto Inner, auto Build>
PyObject* encode_native(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  Args a;
  if (!a.bind(spec, args, nargs, kwnames)) return nullptr;
  std::string_view text;
  NativeOptions options;
  if (!a.str(0, text) || !options.convert(a)) return nullptr;
  auto result = options.encode<Inner>(text);
  if (!result) return raise_core(result.error());
  return Build(*result);
}

// A batch under the standard scheme; `texts` is converted last.
template <typename T, auto Inner, typename Lists>
PyObject* encode_native_batch(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  Args a;
  if (!a.bind(spec, args, nargs, kwnames)) return nullptr;
  NativeOptions options;
  if (!options.convert(a)) return nullptr;
  if constexpr (std::is_same_v<T, uint32_t>) {
    return run_id_batch(
        a.get(0), BatchScheme{}, [&](size_t, std::string_view text, std::vector<uint32_t>& out) {
          return encode_text_native_ids_into(text, options.trie.get(), options.byte_fallback,
                                             options.space_char, options.s, out);
        });
  } else {
    Lists lists;
    return run_text_batch<std::vector<T>>(
        a.get(0), BatchScheme{}, [&](std::string_view text) { return options.encode<Inner>(text); },
        lists);
  }
}

PyObject* rust_encode_text_native(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return encode_native<encode_text_native_inner, new_str_list>(kNative, args, nargs, kwnames);
}

PyObject* rust_encode_text_native_ids(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return encode_native<encode_text_native_ids_inner, new_id_list>(kNativeIds, args, nargs,
                                                                  kwnames);
}

PyObject* rust_encode_text_native_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  return encode_native_batch<std::string, encode_text_native_inner, TokenLists>(
      kNativeBatch, args, nargs, kwnames);
}

PyObject* rust_encode_text_native_ids_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return encode_native_batch<uint32_t, encode_text_native_ids_inner, IdLists>(
      kNativeIdsBatch, args, nargs, kwnames);
}

// ---- rust_encode_text_batch ----

constexpr Param kTextBatchParams[] = {
    {"texts"}, {"trie"}, {"byte_fallback", "True"}, {"space_char", "' '"}};
const FunctionSpec kTextBatch{
    "rust_encode_text_batch", nullptr, kTextBatchParams,
    "Native end-to-end pipeline: raw texts -> normalize -> regex pre-tokenize -> Viterbi DAG -> "
    "token IDs.\nExecutes completely in parallel across all CPU cores with the Python GIL "
    "released."};

PyObject* rust_encode_text_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  Args a;
  if (!a.bind(kTextBatch, args, nargs, kwnames)) return nullptr;
  TrieArg trie;
  bool byte_fallback = true;
  char32_t space_char = U' ';
  if (!trie.convert(a, 1) || !a.boolean(2, byte_fallback) || !a.one_char(3, space_char)) {
    return nullptr;
  }
  if (is_reserved_space_char(space_char)) {
    return raise_core(make_error(std::string(kReservedSpaceCharMessage)));
  }
  return run_id_batch(a.get(0), kAlwaysParallel,
                      [&](size_t index, std::string_view text, std::vector<uint32_t>& out) {
                        return encode_text_batch_ids_into(text, index, trie.get(), byte_fallback,
                                                          space_char, out);
                      });
}

template <FastFunction Impl>
PyMethodDef* kept_def(const FunctionSpec& spec) {
  static PyMethodDef def = method_def<Impl>(spec);
  return &def;
}

}  // namespace

PyMethodDef* rust_encode_text_batch_function() {
  return kept_def<rust_encode_text_batch>(kTextBatch);
}
PyMethodDef* rust_encode_text_native_function() {
  return kept_def<rust_encode_text_native>(kNative);
}
PyMethodDef* rust_encode_text_native_batch_function() {
  return kept_def<rust_encode_text_native_batch>(kNativeBatch);
}
PyMethodDef* rust_encode_text_native_ids_function() {
  return kept_def<rust_encode_text_native_ids>(kNativeIds);
}
PyMethodDef* rust_encode_text_native_ids_batch_function() {
  return kept_def<rust_encode_text_native_ids_batch>(kNativeIdsBatch);
}

}  // namespace brindlore::py
