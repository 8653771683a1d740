// The shell of the module `normalizer`: rust_normalize and
// rust_normalize_with_alignment.
#include "python/normalizer.h"

#include "core/normalizer.h"
#include "core/normalizer_alignment.h"

namespace brindlore::py {
namespace {

constexpr auto kParams = with_normalization_params(std::array<Param, 1>{{{"text"}}});
const FunctionSpec kNormalize{"rust_normalize", nullptr, kParams};
const FunctionSpec kWithAlignment{"rust_normalize_with_alignment", nullptr, kParams};

struct NormalizeArgs {
  std::string_view text;
  char32_t space_char = 0x2581;
  NormalizeSwitches switches;
};

// Converts the arguments in parameter order; false with an exception set.
bool convert(const Args& a, NormalizeArgs& out) {
  return a.str(0, out.text) && convert_normalization(a, 1, out.space_char, out.switches);
}

PyObject* rust_normalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Args a;
  NormalizeArgs in;
  if (!a.bind(kNormalize, args, nargs, kwnames) || !convert(a, in)) return nullptr;
  Result<std::string> out = normalize_inner(in.text, in.space_char, in.switches);
  if (!out) return raise_core(out.error());
  return new_str(*out);
}

// Most spans start where the previous one ends, or repeat it: the int (or
// the whole tuple) of the previous span is shared instead of made again,
// which halves the objects a long text needs.
class SpanListBuilder {
 public:
  PyObject* build(const std::vector<SourceSpan>& spans) {
    return new_list(spans.size(), [&](size_t i) { return tuple(spans[i]); });
  }

 private:
  // A new reference to the tuple of `span`.
  PyObject* tuple(const SourceSpan& span) {
    if (last_tuple_ && span == last_span_) return Ref::borrow(last_tuple_.get()).release();
    Ref start = span.start == last_span_.end && last_end_ ? Ref::borrow(last_end_.get())
                                                          : Ref::steal(PyLong_FromSize_t(span.start));
    Ref end = Ref::steal(PyLong_FromSize_t(span.end));
    if (!start || !end) return nullptr;
    last_tuple_ = Ref::steal(PyTuple_Pack(2, start.get(), end.get()));
    if (!last_tuple_) return nullptr;
    last_span_ = span;
    last_end_ = std::move(end);
    return Ref::borrow(last_tuple_.get()).release();
  }

  SourceSpan last_span_;
  Ref last_end_, last_tuple_;
};

PyObject* rust_normalize_with_alignment(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  Args a;
  NormalizeArgs in;
  if (!a.bind(kWithAlignment, args, nargs, kwnames) || !convert(a, in)) return nullptr;
  Result<AlignedText> out = normalize_with_alignment(in.text, in.space_char, in.switches);
  if (!out) return raise_core(out.error());
  Ref text = Ref::steal(new_str(out->text));
  if (!text) return nullptr;
  Ref spans = Ref::steal(SpanListBuilder().build(out->spans));
  if (!spans) return nullptr;
  return PyTuple_Pack(2, text.get(), spans.get());
}

}  // namespace

PyMethodDef* rust_normalize_function() { return function_def<rust_normalize>(kNormalize); }

PyMethodDef* rust_normalize_with_alignment_function() {
  return function_def<rust_normalize_with_alignment>(kWithAlignment);
}

}  // namespace brindlore::py
