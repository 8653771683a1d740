// The shell of the module `seed`: rust_mine_ngrams.
#include "python/seed.h"

#include <vector>

#include "core/seed.h"

namespace brindlore::py {
namespace {

constexpr Param kParams[] = {{"chunk_counts"}, {"max_ngram_length"}, {"special_tokens", "None"}};
const FunctionSpec kMine{"rust_mine_ngrams", nullptr, kParams};
enum : size_t { kChunkCounts, kMaxNgramLength, kSpecialTokens };

// The converted arguments. The views point into the UTF-8 texts of the str
// objects in `owners`, which hold every key.
struct MineArgs {
  RefList owners;
  std::vector<WeightedChunk> chunks;
  uint64_t max_ngram_length = 0;
  std::vector<std::string_view> special_tokens;
};

// The dict's items through the interpreter's own dict iteration (bypassing a
// subclass's items()): converting a value may run Python code that changes
// the dict, and that iteration refuses such a dict with the RuntimeError
// Python raises for it.
Ref dict_items_iterator(PyObject* dict) {
  Ref view = Ref::steal(calling_python([dict] {
    return PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyDict_Type), "items", "O", dict);
  }));
  return view ? get_iter(view.get()) : Ref();
}

bool convert_chunk_counts(const Args& a, MineArgs& out) {
  PyObject* dict = a.get(kChunkCounts);
  if (!PyDict_Check(dict)) {
    raise_not_instance(dict, "dict");
    return a.fail(kChunkCounts);
  }
  const auto size = static_cast<size_t>(PyDict_Size(dict));
  out.owners.reserve(size);
  out.chunks.reserve(size);
  Ref items = dict_items_iterator(dict);
  if (!items) return a.fail(kChunkCounts);
  while (Ref item = next_item(items.get())) {
    // The item holds its key and value while the value is converted.
    PyObject* key = PyTuple_GetItem(item.get(), 0);
    WeightedChunk chunk;
    if (!to_str(key, chunk.text) || !to_u64(PyTuple_GetItem(item.get(), 1), chunk.count)) {
      return a.fail(kChunkCounts);
    }
    out.owners.push_back(Ref::borrow(key));
    out.chunks.push_back(chunk);
  }
  return !PyErr_Occurred() || a.fail(kChunkCounts);
}

bool convert_special_tokens(const Args& a, MineArgs& out) {
  PyObject* tokens = a.get(kSpecialTokens);
  if (!tokens || tokens == Py_None) return true;
  if (!PyAnySet_Check(tokens)) {
    raise_not_instance(tokens, "set");
    return a.fail(kSpecialTokens);
  }
  Ref iterator = get_iter(tokens);
  if (!iterator) return a.fail(kSpecialTokens);
  while (Ref item = next_item(iterator.get())) {
    std::string_view text;
    if (!to_str(item.get(), text)) return a.fail(kSpecialTokens);
    out.owners.push_back(std::move(item));
    out.special_tokens.push_back(text);
  }
  return !PyErr_Occurred() || a.fail(kSpecialTokens);
}

PyObject* counts_dict(const NgramCounts& counts) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [text, count] : counts) {
    Ref key = Ref::steal(new_str(text));
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* rust_mine_ngrams(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  MineArgs in;
  if (!a.bind(kMine, args, nargs, kwnames) || !convert_chunk_counts(a, in) ||
      !a.u64(kMaxNgramLength, in.max_ngram_length) || !convert_special_tokens(a, in)) {
    return nullptr;
  }
  return counts_dict(mine_ngrams(in.chunks, in.max_ngram_length, in.special_tokens));
}

}  // namespace

PyMethodDef* rust_mine_ngrams_function() { return function_def<rust_mine_ngrams>(kMine); }

}  // namespace brindlore::py
