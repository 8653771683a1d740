// RustTokenizer (a vocabulary with its encode settings) and the pipeline
// timing diagnostic.
#include "python/rust_tokenizer.h"

#include <chrono>
#include <vector>

#include "core/rust_tokenizer.h"
#include "python/batch.h"
#include "python/pipeline.h"
#include "python/trie.h"

namespace brindlore::py {
namespace {

using TokenizerBox = Box<RustTokenizer>;
PyObject* type_cell = nullptr;

TokenizerBox* box(PyObject* self) { return TokenizerBox::of(self); }

// ---- the `vocab` argument ----

// A sequence (a list, a tuple or a collections.abc.Sequence, never a str) of
// (str, float, int) tuples, read by iteration. The entries view the texts of
// the tuples, which are kept alive with them.
class VocabArg {
 public:
  std::span<const VocabEntry> entries() const noexcept { return entries_; }

  // Converts parameter `i`; false with an exception set and the note added.
  bool convert(const Args& a, size_t i) {
    PyObject* obj = a.get(i);
    if (PyUnicode_Check(obj)) {
      PyErr_SetString(PyExc_TypeError,
                      "'str' object cannot be converted to a sequence of vocabulary entries");
      return a.fail(i);
    }
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
      const int sequence = is_abc_sequence(obj);
      if (sequence < 0) return a.fail(i);
      if (!sequence) {
        raise_not_instance(obj, "Sequence");
        return a.fail(i);
      }
    }
    Ref iterator = get_iter(obj);
    if (!iterator) return a.fail(i);
    while (Ref item = next_item(iterator.get())) {
      if (!append(std::move(item))) return a.fail(i);
    }
    return !PyErr_Occurred() || a.fail(i);
  }

 private:
  static constexpr Py_ssize_t kTupleSize = 3;

  bool append(Ref&& item) {
    if (!PyTuple_Check(item.get())) {
      raise_not_instance(item.get(), "tuple");
      return false;
    }
    const Py_ssize_t size = PyTuple_Size(item.get());
    if (size != kTupleSize) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                   kTupleSize, size);
      return false;
    }
    VocabEntry entry;
    if (!to_str(PyTuple_GetItem(item.get(), 0), entry.token) ||
        !to_float(PyTuple_GetItem(item.get(), 1), entry.score) ||
        !to_u32(PyTuple_GetItem(item.get(), 2), entry.id)) {
      return false;
    }
    entries_.push_back(entry);
    items_.push_back(std::move(item));
    return true;
  }

  std::vector<VocabEntry> entries_;
  RefList items_;
};

// ---- constructor ----

constexpr Param kNewParams[] = {
    {"vocab", "None"}, {"space_char", "'\\u{2581}'"}, {"byte_fallback", "True"}};
const FunctionSpec kNew{"__new__", "RustTokenizer", kNewParams, nullptr, false, "RustTokenizer"};

PyObject* tokenizer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args a;
  if (!a.bind(kNew, args, kwargs)) return nullptr;
  VocabArg vocab;
  char32_t space_char = 0x2581;
  bool byte_fallback = true;
  if ((a.given(0) && a.get(0) != Py_None && !vocab.convert(a, 0)) ||
      !a.one_char(1, space_char) || !a.boolean(2, byte_fallback)) {
    return nullptr;
  }
  Result<RustTokenizer> built = RustTokenizer::build(vocab.entries(), space_char, byte_fallback);
  if (!built) return raise_core(built.error());
  return TokenizerBox::create(type, std::move(built).value());
}

// ---- from_vocab ----

constexpr Param kVocabParams[] = {{"vocab"}};
const FunctionSpec kFromVocab{"from_vocab", "RustTokenizer", kVocabParams, nullptr, true};

PyObject* from_vocab(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!a.bind(kFromVocab, args, nargs, kwnames)) return nullptr;
  ExclusiveUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  VocabArg vocab;
  if (!vocab.convert(a, 0)) return nullptr;
  Status replaced = box(self)->value.replace_vocab(vocab.entries());
  if (!replaced) return raise_core(replaced.error());
  Py_RETURN_NONE;
}

// ---- encoding ----

constexpr Param kTextParams[] = {{"text"}};
constexpr Param kTextsParams[] = {{"texts"}};
const FunctionSpec kEncode{"encode", "RustTokenizer", kTextParams, nullptr, true};
const FunctionSpec kEncodeIds{"encode_ids", "RustTokenizer", kTextParams, nullptr, true};
const FunctionSpec kEncodeBatch{"encode_batch", "RustTokenizer", kTextsParams, nullptr, true};
const FunctionSpec kEncodeIdsBatch{"encode_ids_batch", "RustTokenizer", kTextsParams, nullptr,
                                   true};

// One text, interpreter lock held throughout. `Encode` is RustTokenizer::encode
// or encode_ids.
template <auto Encode, auto Build>
PyObject* encode_one(const FunctionSpec& spec, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!a.bind(spec, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  std::string_view text;
  if (!a.str(0, text)) return nullptr;
  auto result = (box(self)->value.*Encode)(text);
  if (!result) return raise_core(result.error());
  return Build(*result);
}

// A batch on the pool with the interpreter lock released, whatever its size.
template <typename T, auto Encode, typename Lists>
PyObject* encode_many(const FunctionSpec& spec, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!a.bind(spec, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  const RustTokenizer& tokenizer = box(self)->value;
  Lists lists;
  return run_text_batch<std::vector<T>>(
      a.get(0), kAlwaysParallel, [&](std::string_view text) { return (tokenizer.*Encode)(text); },
      lists);
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return encode_one<&RustTokenizer::encode, new_str_list>(kEncode, self, args, nargs, kwnames);
}

PyObject* encode_ids(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return encode_one<&RustTokenizer::encode_ids, new_id_list>(kEncodeIds, self, args, nargs,
                                                             kwnames);
}

PyObject* encode_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return encode_many<std::string, &RustTokenizer::encode, TokenLists>(kEncodeBatch, self, args,
                                                                      nargs, kwnames);
}

PyObject* encode_ids_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Args a;
  if (!a.bind(kEncodeIdsBatch, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  const RustTokenizer& tokenizer = box(self)->value;
  return run_id_batch(a.get(0), kAlwaysParallel,
                      [&](size_t, std::string_view text, std::vector<uint32_t>& out) {
                        return tokenizer.encode_ids_into(text, out);
                      });
}

PyMethodDef* methods() {
  static PyMethodDef table[] = {
      method_def<from_vocab>(kFromVocab),
      method_def<encode>(kEncode),
      method_def<encode_batch>(kEncodeBatch),
      method_def<encode_ids>(kEncodeIds),
      method_def<encode_ids_batch>(kEncodeIdsBatch),
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

// ---- rust_diagnostic_batch ----

constexpr Param kDiagnosticParams[] = {{"texts"}, {"trie"}, {"byte_fallback"}};
const FunctionSpec kDiagnostic{"rust_diagnostic_batch", nullptr, kDiagnosticParams};

// The texts one after another on the calling thread, without the interpreter
// lock, whatever their number.
constexpr BatchScheme kSequentialUnlocked{SIZE_MAX, false, true};

// A new dict of the timings, keys in their documented order.
PyObject* timings_dict(const PipelineTimings& t, double total) {
  const std::pair<const char*, double> items[] = {
      {"total", total},
      {"norm", t.norm},
      {"pre", t.pre},
      {"viterbi", t.viterbi},
      {"alloc", t.alloc},
      {"chunks", static_cast<double>(t.chunks)},
      {"tokens", static_cast<double>(t.tokens)},
      {"edges", static_cast<double>(t.tokens)},
      {"states", static_cast<double>(t.states)},
  };
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : items) {
    Ref number = Ref::steal(PyFloat_FromDouble(value));
    if (!number || PyDict_SetItemString(dict.get(), key, number.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* rust_diagnostic_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  using Clock = std::chrono::steady_clock;
  Args a;
  if (!a.bind(kDiagnostic, args, nargs, kwnames)) return nullptr;
  TrieArg trie;
  bool byte_fallback = false;
  if (!trie.convert(a, 1) || !a.boolean(2, byte_fallback)) return nullptr;
  BorrowedBatch batch;
  if (Status read = extract_borrowed_strings(a.get(0), batch); !read) {
    return raise_core(read.error());
  }
  const std::span<const std::string_view> texts = batch.texts();
  PipelineTimings sums;
  const Clock::time_point start = Clock::now();
  Result<std::vector<Ok>> done =
      run_batch<Ok, GilRelease>(texts.size(), kSequentialUnlocked, [&](size_t i) {
        return diagnose_pipeline_text(texts[i], trie.get(), byte_fallback, sums);
      });
  if (!done) return raise_core(done.error());
  const double total = std::max(0.0, std::chrono::duration<double>(Clock::now() - start).count());
  return timings_dict(sums, total);
}

}  // namespace

PyTypeObject* rust_tokenizer_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&new_entry<tokenizer_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&TokenizerBox::dealloc)},
      {Py_tp_methods, methods()},
      {Py_tp_doc, const_cast<char*>(documentation(kNew))},
      {0, nullptr},
  };
  static PyType_Spec spec{"brindlore_core.RustTokenizer", sizeof(TokenizerBox), 0,
                          Py_TPFLAGS_DEFAULT, slots};
  return type_once(type_cell, &spec);
}

PyMethodDef* rust_diagnostic_batch_function() {
  return function_def<rust_diagnostic_batch>(kDiagnostic);
}

}  // namespace brindlore::py
