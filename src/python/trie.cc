// RustPrefixTrie: build, fill and inspect a vocabulary trie from Python.
#include "python/trie.h"

#include "core/utf8.h"

namespace brindlore::py {
namespace {

PyObject* type_cell = nullptr;

TrieBox* box(PyObject* self) { return TrieBox::of(self); }

// ---- constructor ----

constexpr Param kNewParams[] = {{"max_subword_len", "None"}};
const FunctionSpec kNew{"__new__", "RustPrefixTrie", kNewParams, nullptr, false, "RustPrefixTrie"};

PyObject* trie_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Args a;
  if (!a.bind(kNew, args, kwargs)) return nullptr;
  std::optional<uint64_t> limit;
  if (!a.optional_u64(0, limit)) return nullptr;
  return TrieBox::create(type, RustPrefixTrie::make_new(limit));
}

// ---- insert ----

constexpr Param kInsertParams[] = {{"token"}, {"log_p"}, {"token_id"}};
const FunctionSpec kInsert{"insert", "RustPrefixTrie", kInsertParams,
                           "Inserts a non-empty subword with a finite log probability.", true};

PyObject* insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!a.bind(kInsert, args, nargs, kwnames)) return nullptr;
  ExclusiveUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  std::string_view token;
  double log_p = 0.0;
  std::optional<uint32_t> token_id;
  if (!a.str(0, token) || !a.float64(1, log_p) || !a.optional_u32(2, token_id)) return nullptr;
  Status status = box(self)->value.insert_token(token, token_id, log_p);
  if (!status) return raise_core(status.error());
  Py_RETURN_NONE;
}

// ---- common_prefix_search ----

constexpr Param kTextParams[] = {{"text"}};
const FunctionSpec kSearch{"common_prefix_search", "RustPrefixTrie", kTextParams,
                           "Finds all matching prefixes for a slice of text starting at position 0.\n"
                           "Returns tuples of (token, token_id, log_p, char_length).",
                           true};

PyObject* match_tuple(const RustPrefixTrie& trie, const PrefixMatch& m) {
  Ref token = Ref::steal(new_str(trie.token_text(m.token)));
  Ref id = Ref::steal(new_optional_u32(trie.token_id(m.token)));
  Ref log_p = Ref::steal(PyFloat_FromDouble(m.log_p));
  Ref length = Ref::steal(PyLong_FromSize_t(m.length));
  if (!token || !id || !log_p || !length) return nullptr;
  return PyTuple_Pack(4, token.get(), id.get(), log_p.get(), length.get());
}

PyObject* common_prefix_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  Args a;
  if (!a.bind(kSearch, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  std::string_view text;
  if (!a.str(0, text)) return nullptr;
  const RustPrefixTrie& trie = box(self)->value;
  std::vector<PrefixMatch> matches;
  matches.reserve(8);
  trie.common_prefix_search_utf8(text, 0, matches);
  return new_list(matches.size(), [&](size_t i) { return match_tuple(trie, matches[i]); });
}

// ---- contains ----

constexpr Param kTokenParams[] = {{"token"}};
const FunctionSpec kContains{"contains", "RustPrefixTrie", kTokenParams,
                             "Checks whether the exact token exists in the Trie.", true};

PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  if (!a.bind(kContains, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  std::string_view token;
  if (!a.str(0, token)) return nullptr;
  return PyBool_FromLong(box(self)->value.exact_metadata(token).has_value());
}

// ---- the cache ----

const FunctionSpec kClear{"clear_seg_cache", "RustPrefixTrie", {},
                          "Clears the shared word-level segmentation memoization cache.", true};
const FunctionSpec kCacheLen{"seg_cache_len", "RustPrefixTrie", {},
                             "Returns the number of cached segmentations.", true};

PyObject* clear_seg_cache(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  Args a;
  if (!a.bind(kClear, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  box(self)->value.seg_cache().clear();
  Py_RETURN_NONE;
}

PyObject* seg_cache_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  Args a;
  if (!a.bind(kCacheLen, args, nargs, kwnames)) return nullptr;
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  return PyLong_FromSize_t(box(self)->value.seg_cache().size());
}

// ---- max_subword_len ----

PyObject* get_max_subword_len(PyObject* self, void*) {
  SharedUse use;
  if (!use.acquire(box(self)->use)) return nullptr;
  std::optional<uint64_t> limit = box(self)->value.max_subword_len();
  if (!limit) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*limit);
}

int set_max_subword_len(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "property has no deleter");
    return -1;
  }
  std::optional<uint64_t> limit;
  if (value != Py_None) {
    uint64_t v = 0;
    if (!to_u64(value, v)) {
      add_note("while processing 'val'");
      return -1;
    }
    limit = v;
  }
  ExclusiveUse use;
  if (!use.acquire(box(self)->use)) return -1;
  box(self)->value.set_max_subword_len(limit);
  return 0;
}

PyMethodDef* methods() {
  static PyMethodDef table[] = {
      method_def<insert>(kInsert),
      method_def<common_prefix_search>(kSearch),
      method_def<contains>(kContains),
      method_def<clear_seg_cache>(kClear),
      method_def<seg_cache_len>(kCacheLen),
      {nullptr, nullptr, 0, nullptr},
  };
  return table;
}

PyGetSetDef getset[] = {
    {"max_subword_len", getter_entry<get_max_subword_len>, setter_entry<set_max_subword_len>,
     nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* rust_prefix_trie_type() {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&new_entry<trie_new>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&TrieBox::dealloc)},
      {Py_tp_methods, methods()},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(documentation(kNew))},
      {0, nullptr},
  };
  static PyType_Spec spec{"brindlore_core.RustPrefixTrie", sizeof(TrieBox), 0, Py_TPFLAGS_DEFAULT,
                          slots};
  return type_once(type_cell, &spec);
}

bool TrieArg::convert(const Args& args, size_t i) {
  PyObject* obj = args.get(i);
  PyTypeObject* type = rust_prefix_trie_type();
  if (!type) return false;
  if (!is_instance(obj, type)) {
    raise_not_instance(obj, "RustPrefixTrie");
    return args.fail(i);
  }
  if (!use_.acquire(TrieBox::of(obj)->use)) return false;
  trie_ = &TrieBox::of(obj)->value;
  return true;
}

}  // namespace brindlore::py
