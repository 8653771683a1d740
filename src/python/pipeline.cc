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

PyMethodDef* rust_pre_tokenize_function() { return function_def<rust_pre_tokenize>(kPreTokenize); }

}  // namespace brindlore::py

// ---- Fused encoders ----

namespace brindlore::py {

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

}  // namespace

PyMethodDef* rust_encode_text_batch_function() {
  return function_def<rust_encode_text_batch>(kTextBatch);
}
PyMethodDef* rust_encode_text_native_function() {
  return function_def<rust_encode_text_native>(kNative);
}
PyMethodDef* rust_encode_text_native_batch_function() {
  return function_def<rust_encode_text_native_batch>(kNativeBatch);
}
PyMethodDef* rust_encode_text_native_ids_function() {
  return function_def<rust_encode_text_native_ids>(kNativeIds);
}
PyMethodDef* rust_encode_text_native_ids_batch_function() {
  return function_def<rust_encode_text_native_ids_batch>(kNativeIdsBatch);
}

}  // namespace brindlore::py
