// ViterbiSpan and the decode, forward-backward and diagnostic functions.
#include "python/viterbi.h"

#include "core/forward_backward.h"
#include "core/debug_quote.h"
#include "core/viterbi.h"
#include "python/batch.h"
#include "python/trie.h"

namespace brindlore::py {
namespace {

// ---- ViterbiSpan ----

using SpanBox = Box<ViterbiSpan>;
PyObject* span_type_cell = nullptr;

template <PyObject* (*Read)(const ViterbiSpan&)>
PyObject* span_getter(PyObject* self, void*) {
  SharedUse use;
  if (!use.acquire(SpanBox::of(self)->use)) return nullptr;
  return Read(SpanBox::of(self)->value);
}

PyObject* read_token(const ViterbiSpan& s) { return new_str(s.token); }
PyObject* read_token_id(const ViterbiSpan& s) { return new_optional_u32(s.token_id); }
PyObject* read_start(const ViterbiSpan& s) { return PyLong_FromSize_t(s.start); }
PyObject* read_end(const ViterbiSpan& s) { return PyLong_FromSize_t(s.end); }

PyGetSetDef span_getset[] = {
    {"token", getter_entry<span_getter<read_token>>, nullptr, nullptr, nullptr},
    {"token_id", getter_entry<span_getter<read_token_id>>, nullptr, nullptr, nullptr},
    {"start", getter_entry<span_getter<read_start>>, nullptr, nullptr, nullptr},
    {"end", getter_entry<span_getter<read_end>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Result builders (interpreter lock held) ----

PyObject* new_span(const SpanView& span) {
  PyTypeObject* type = viterbi_span_type();
  return type ? SpanBox::create(
                    type, ViterbiSpan{std::string(span.token), span.token_id, span.start, span.end})
              : nullptr;
}

// new_list asks for the items in order, so one reader walks the spans once.
PyObject* span_list(const SegmentationRef& seg, const RustPrefixTrie& trie) {
  SpanReader reader(*seg, trie);
  return new_list(seg->spans.size(), [&](size_t) { return new_span(reader.next()); });
}

PyObject* token_list(const SegmentationRef& seg, const RustPrefixTrie& trie) {
  BytePieceText buffer(0);
  const SpanList& spans = seg->spans;
  return new_list(spans.size(),
                  [&](size_t i) { return new_str(span_text(spans[i], trie, buffer)); });
}

// For a segmentation whose ids are read from its spans.
const InlineIds kNoInlineIds{};

// ---- Shared argument handling ----

constexpr const char* kZeroLimit = "max_edges_per_node must be greater than zero";

// The arguments after the text(s): trie, byte_fallback, max_edges_per_node.
struct DecodeOptions {
  TrieArg trie;
  bool byte_fallback = false;
  std::optional<uint64_t> max_edges_per_node;

  // Converts parameters 1 to 3 and refuses a zero limit.
  bool convert(const Args& a) {
    if (!trie.convert(a, 1) || !a.boolean(2, byte_fallback) ||
        !a.optional_u64(3, max_edges_per_node)) {
      return false;
    }
    if (max_edges_per_node == uint64_t{0}) {
      PyErr_SetString(PyExc_ValueError, kZeroLimit);
      return false;
    }
    return true;
  }

  Result<SegmentationRef> decode(std::string_view text) const {
    return decode_piece(text, trie.get(), byte_fallback, max_edges_per_node);
  }
};

// Converts parameters 0 (`text`) and 1 (`trie`) of a single-text function.
bool convert_text_and_trie(const Args& a, std::string_view& text, TrieArg& trie) {
  return a.str(0, text) && trie.convert(a, 1);
}

// ---- rust_viterbi_decode ----

constexpr Param kDecodeParams[] = {
    {"text"}, {"trie"}, {"byte_fallback"}, {"max_edges_per_node", "None"}};
const FunctionSpec kDecode{
    "rust_viterbi_decode", nullptr, kDecodeParams,
    "Computes the most probable segmentation using Python character offsets."};

PyObject* rust_viterbi_decode(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  Args a;
  if (!a.bind(kDecode, args, nargs, kwnames)) return nullptr;
  std::string_view text;
  DecodeOptions options;
  if (!a.str(0, text) || !options.convert(a)) return nullptr;
  Result<SegmentationRef> seg = options.decode(text);
  if (!seg) return raise_core(seg.error());
  return span_list(*seg, options.trie.get());
}

// ---- The batch decode functions ----

constexpr Param kBatchParams[] = {
    {"texts"}, {"trie"}, {"byte_fallback"}, {"max_edges_per_node", "None"}};
const FunctionSpec kDecodeBatch{
    "rust_viterbi_decode_batch", nullptr, kBatchParams,
    "Computes most probable segmentations for a batch of strings concurrently using Rayon "
    "(releases GIL)."};
const FunctionSpec kTokensBatch{
    "rust_encode_tokens_batch", nullptr, kBatchParams,
    "Batch encodes strings to token strings (no ViterbiSpan wrapper) \u2014 single FFI, minimal "
    "conversion."};
const FunctionSpec kIdsBatch{
    "rust_encode_ids_batch", nullptr, kBatchParams,
    "Batch encodes strings directly to token integer IDs using parallel Rayon workers (releases "
    "GIL)."};

// Binds and converts the batch arguments, then runs the scheme with `check`
// applied to each decoded text and `build` turning each into its list.
template <typename Check, typename Build>
PyObject* decode_batch(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Check&& check, Build&& build) {
  Args a;
  if (!a.bind(spec, args, nargs, kwnames)) return nullptr;
  DecodeOptions options;
  if (!options.convert(a)) return nullptr;
  return run_text_batch<SegmentationRef>(
      a.get(0), BatchScheme{},
      [&](std::string_view text) -> Result<SegmentationRef> {
        Result<SegmentationRef> seg = options.decode(text);
        if (!seg) return seg;
        if (Status ok = check(**seg); !ok) return std::move(ok).error();
        return seg;
      },
      [&](const SegmentationRef& seg) { return build(seg, options.trie.get()); });
}

Status accept_all(const CachedSegmentation&) { return Ok{}; }

PyObject* rust_viterbi_decode_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return decode_batch(kDecodeBatch, args, nargs, kwnames, accept_all,
                      [](const SegmentationRef& seg, const RustPrefixTrie& trie) {
                        return span_list(seg, trie);
                      });
}

PyObject* rust_encode_tokens_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return decode_batch(kTokensBatch, args, nargs, kwnames, accept_all,
                      [](const SegmentationRef& seg, const RustPrefixTrie& trie) {
                        return token_list(seg, trie);
                      });
}

PyObject* rust_encode_ids_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  Args a;
  if (!a.bind(kIdsBatch, args, nargs, kwnames)) return nullptr;
  DecodeOptions options;
  if (!options.convert(a)) return nullptr;
  return run_id_batch(a.get(0), BatchScheme{},
                      [&](size_t, std::string_view text, std::vector<uint32_t>& out) -> Status {
                        // Without a limit, a hit changes no reference count.
                        if (!options.max_edges_per_node) {
                          Result<CachedPiece> piece = decode_cached_here(
                              text, options.trie.get(), options.byte_fallback, false);
                          if (!piece) return std::move(piece).error();
                          Status added = append_ids(*piece, options.trie.get(), {}, out);
                          if (text.size() > SegCache::kMaxPieceBytes) {
                            FrontCache::of_this_thread().release_held();
                          }
                          return added;
                        }
                        Result<SegmentationRef> seg = options.decode(text);
                        if (!seg) return std::move(seg).error();
                        return append_ids(CachedPiece{&*seg, &kNoInlineIds}, options.trie.get(), {}, out);
                      });
}

// ---- rust_diagnostic_viterbi ----

constexpr Param kDiagnosticParams[] = {{"text"}, {"trie"}, {"byte_fallback"}};
const FunctionSpec kDiagnostic{"rust_diagnostic_viterbi", nullptr, kDiagnosticParams};

PyObject* rust_diagnostic_viterbi(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  Args a;
  if (!a.bind(kDiagnostic, args, nargs, kwnames)) return nullptr;
  std::string_view text;
  TrieArg trie;
  bool byte_fallback = false;
  if (!convert_text_and_trie(a, text, trie) || !a.boolean(2, byte_fallback)) return nullptr;
  const LatticeDiagnostic d = diagnose_lattice(text, trie.get(), byte_fallback);
  return Py_BuildValue("(ddnn)", d.lookup_seconds, d.dp_seconds,
                       static_cast<Py_ssize_t>(d.edge_count),
                       static_cast<Py_ssize_t>(d.node_count));
}

// ---- rust_forward_backward_expectations ----

constexpr Param kExpectationParams[] = {{"text"}, {"trie"}, {"freq"}};
const FunctionSpec kExpectations{
    "rust_forward_backward_expectations", nullptr, kExpectationParams,
    "Forward-backward statistics for text fully covered by the supplied trie."};

PyObject* rust_forward_backward_expectations(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
  Args a;
  if (!a.bind(kExpectations, args, nargs, kwnames)) return nullptr;
  std::string_view text;
  TrieArg trie;
  double freq = 0.0;
  if (!convert_text_and_trie(a, text, trie) || !a.float64(2, freq)) return nullptr;
  Result<Expectations> result = forward_backward(text, trie.get(), freq);
  if (!result) return raise_core(result.error());
  Ref counts = Ref::steal(PyDict_New());
  if (!counts) return nullptr;
  for (const auto& [token, count] : result->counts) {
    Ref key = Ref::steal(new_str(*token));
    Ref value = Ref::steal(PyFloat_FromDouble(count));
    if (!key || !value || PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) return nullptr;
  }
  Ref log_z = Ref::steal(PyFloat_FromDouble(result->weighted_log_z));
  if (!log_z) return nullptr;
  return PyTuple_Pack(2, counts.get(), log_z.get());
}

}  // namespace

PyTypeObject* viterbi_span_type() {
  static PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&SpanBox::dealloc)},
      {Py_tp_getset, span_getset},
      {0, nullptr},
  };
  static PyType_Spec spec{"brindlore_core.ViterbiSpan", sizeof(SpanBox), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return type_once(span_type_cell, &spec);
}

PyMethodDef* rust_viterbi_decode_function() { return function_def<rust_viterbi_decode>(kDecode); }
PyMethodDef* rust_diagnostic_viterbi_function() {
  return function_def<rust_diagnostic_viterbi>(kDiagnostic);
}
PyMethodDef* rust_viterbi_decode_batch_function() {
  return function_def<rust_viterbi_decode_batch>(kDecodeBatch);
}
PyMethodDef* rust_encode_tokens_batch_function() {
  return function_def<rust_encode_tokens_batch>(kTokensBatch);
}
PyMethodDef* rust_encode_ids_batch_function() {
  return function_def<rust_encode_ids_batch>(kIdsBatch);
}
PyMethodDef* rust_forward_backward_expectations_function() {
  return function_def<rust_forward_backward_expectations>(kExpectations);
}

}  // namespace brindlore::py
