#include "python/binding.h"

#include <cstring>
#include <deque>
#include <mutex>

#include "core/fork_guard.h"
#include "core/utf8.h"

namespace brindlore::py {

// ---- Errors ------------------------------------------------------------------

PyObject* raise_core(const CoreError& error) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, error.message.c_str());
  return nullptr;
}

bool pending_error_propagates() {
  PyObject* type = PyErr_Occurred();
  return type && (!PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
                  PyErr_GivenExceptionMatches(type, PyExc_MemoryError));
}

// Takes the pending exception, normalized (which may run its class's Python
// code); the references are the caller's.
static void fetch_normalized(PyObject** type, PyObject** value, PyObject** traceback) {
  PyErr_Fetch(type, value, traceback);
  calling_python([&] { PyErr_NormalizeException(type, value, traceback); });
}

void add_note(const char* note) {
  PyObject *type, *value, *traceback;
  fetch_normalized(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  Ref result =
      Ref::steal(calling_python([&] { return PyObject_CallMethod(value, "add_note", "s", note); }));
  if (!result) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

// The qualified name of a type, as messages show it (without its module).
static std::string type_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  return std::string(text, static_cast<size_t>(size));
}

PyObject* raise_not_instance(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    std::string name = type_name(Py_TYPE(obj));
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name.c_str(), expected);
  }
  return nullptr;
}

PyObject* internal_failure_type() {
  static PyObject* type = nullptr;
  if (!type) {
    type = calling_python([] {
      return PyErr_NewExceptionWithDoc(
          "brindlore_runtime.InternalFailure",
          "An internal failure of brindlore_core that no input is meant to cause.",
          PyExc_BaseException, nullptr);
    });
  }
  return type;
}

void raise_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyObject* type = internal_failure_type();
    if (type) PyErr_SetString(type, e.what());
  } catch (...) {
    PyObject* type = internal_failure_type();
    if (type) PyErr_SetString(type, "unknown internal failure");
  }
}

std::string render_exception(PyObject* exc) {
  std::string text = type_name(Py_TYPE(exc));
  text += ": ";
  Ref message = str_of(exc);
  const char* utf8 = nullptr;
  Py_ssize_t size = 0;
  if (message) utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size);
  if (utf8) {
    text.append(utf8, static_cast<size_t>(size));
  } else {
    if (!pending_error_propagates()) PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

std::string take_rendered_error() {
  PyObject *type, *value, *traceback;
  fetch_normalized(&type, &value, &traceback);
  Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
  if (!v) return "SystemError: error return without exception set";
  return render_exception(v.get());
}

// ---- Declarations ------------------------------------------------------------

const char* documentation(const FunctionSpec& spec) {
  // Documentation texts must outlive every type and function that points to
  // them; they are made once per declaration and kept.
  static std::deque<std::string> kept;
  std::string doc = spec.signature_name ? spec.signature_name : spec.name;
  doc += '(';
  bool first = true;
  if (spec.is_method) {
    doc += "$self";
    first = false;
  }
  for (const Param& p : spec.params) {
    if (!first) doc += ", ";
    first = false;
    doc += p.name;
    if (p.default_text) {
      doc += '=';
      doc += p.default_text;
    }
  }
  doc += ")\n--\n\n";
  if (spec.doc) doc += spec.doc;
  kept.push_back(std::move(doc));
  return kept.back().c_str();
}

std::string call_name(const FunctionSpec& spec) {
  std::string name;
  if (spec.owner) {
    name = spec.owner;
    name += '.';
  }
  name += spec.name;
  name += "()";
  return name;
}

// ---- Binding -------------------------------------------------------------------

static size_t required_count(const FunctionSpec& spec) {
  size_t n = 0;
  for (const Param& p : spec.params) n += p.default_text == nullptr;
  return n;
}

static bool too_many_positional(const FunctionSpec& spec, size_t given) {
  const size_t total = spec.params.size();
  const size_t required = required_count(spec);
  std::string name = call_name(spec);
  const char* verb = given == 1 ? "was" : "were";
  if (required == total) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", name.c_str(),
                 total, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                 name.c_str(), required, total, given, verb);
  }
  return false;
}

bool Args::bind_keyword(PyObject* key, PyObject* value, size_t nargs) {
  const auto& params = spec_->params;
  for (size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
      if (i < nargs || slots_[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     call_name(*spec_).c_str(), params[i].name);
        return false;
      }
      slots_[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
               call_name(*spec_).c_str(), key);
  return false;
}

bool Args::check_missing() const {
  const auto& params = spec_->params;
  std::string names;
  size_t missing = 0;
  size_t total_missing = 0;
  for (size_t i = 0; i < params.size(); ++i) total_missing += !params[i].default_text && !slots_[i];
  if (total_missing == 0) return true;
  for (size_t i = 0; i < params.size(); ++i) {
    if (params[i].default_text || slots_[i]) continue;
    ++missing;
    if (missing > 1) names += total_missing == 2 ? " and " : (missing == total_missing ? ", and " : ", ");
    names += '\'';
    names += params[i].name;
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               call_name(*spec_).c_str(), missing, missing == 1 ? "argument" : "arguments",
               names.c_str());
  return false;
}

bool Args::bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs_signed,
                PyObject* kwnames) {
  spec_ = &spec;
  const auto nargs = static_cast<size_t>(nargs_signed);
  if (nargs > spec.params.size()) return too_many_positional(spec, nargs);
  for (size_t i = 0; i < nargs; ++i) slots_[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(PyTuple_GetItem(kwnames, k), args[nargs + static_cast<size_t>(k)], nargs)) {
        return false;
      }
    }
  }
  return check_missing();
}

bool Args::bind(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
  spec_ = &spec;
  const auto nargs = static_cast<size_t>(PyTuple_Size(args));
  if (nargs > spec.params.size()) return too_many_positional(spec, nargs);
  for (size_t i = 0; i < nargs; ++i) slots_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(key, value, nargs)) return false;
    }
  }
  return check_missing();
}

bool Args::fail(size_t i) const {
  std::string note = "while processing '";
  note += spec_->params[i].name;
  note += '\'';
  add_note(note.c_str());
  return false;
}

// ---- Conversions -------------------------------------------------------------

bool to_str(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!data) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (obj == Py_True || obj == Py_False) {
    out = obj == Py_True;
    return true;
  }
  raise_not_instance(obj, "bool");
  return false;
}

bool to_float(PyObject* obj, double& out) {
  double v = float_value(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_u32(PyObject* obj, uint32_t& out) {
  Ref index = number_index(obj);
  if (!index) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < 0 || v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_u64(PyObject* obj, uint64_t& out) {
  Ref index = number_index(obj);
  if (!index) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_char(PyObject* obj, char32_t& out) {
  // Encoding first makes a lone surrogate fail as it fails for any str.
  std::string_view text;
  if (!to_str(obj, text)) return false;
  if (text.empty() || utf8::sequence_length(static_cast<unsigned char>(text[0])) != text.size()) {
    PyErr_SetString(PyExc_ValueError, "expected a string of length 1");
    return false;
  }
  out = utf8::decode_at(text, 0);
  return true;
}

bool Args::str(size_t i, std::string_view& out) const {
  return !slots_[i] || to_str(slots_[i], out) || fail(i);
}
bool Args::boolean(size_t i, bool& out) const {
  return !slots_[i] || to_bool(slots_[i], out) || fail(i);
}
bool Args::float64(size_t i, double& out) const {
  return !slots_[i] || to_float(slots_[i], out) || fail(i);
}
bool Args::u32(size_t i, uint32_t& out) const {
  return !slots_[i] || to_u32(slots_[i], out) || fail(i);
}
bool Args::u64(size_t i, uint64_t& out) const {
  return !slots_[i] || to_u64(slots_[i], out) || fail(i);
}
bool Args::one_char(size_t i, char32_t& out) const {
  return !slots_[i] || to_char(slots_[i], out) || fail(i);
}
bool Args::optional_u32(size_t i, std::optional<uint32_t>& out) const {
  if (!slots_[i]) return true;
  if (slots_[i] == Py_None) {
    out.reset();
    return true;
  }
  uint32_t v = 0;
  if (!to_u32(slots_[i], v)) return fail(i);
  out = v;
  return true;
}
bool Args::optional_u64(size_t i, std::optional<uint64_t>& out) const {
  if (!slots_[i]) return true;
  if (slots_[i] == Py_None) {
    out.reset();
    return true;
  }
  uint64_t v = 0;
  if (!to_u64(slots_[i], v)) return fail(i);
  out = v;
  return true;
}

// ---- Use flags ---------------------------------------------------------------

namespace {
// The uses the thread holds, most recent first.
thread_local HeldUse* held_uses = nullptr;
}  // namespace

void HeldUse::hold(UseFlag& flag, bool exclusive) noexcept {
  flag_ = &flag;
  exclusive_ = exclusive;
  next_ = held_uses;
  if (next_) next_->prev_ = this;
  held_uses = this;
}

void HeldUse::release() noexcept {
  if (prev_) {
    prev_->next_ = next_;
  } else {
    held_uses = next_;
  }
  if (next_) next_->prev_ = prev_;
  if (exclusive_) {
    flag_->release_exclusive();
  } else {
    flag_->release_shared();
  }
}

// Every held flag is cleared first, so that a flag that the thread holds in
// several scopes ends with their number.
void HeldUse::carry_into_child() noexcept {
  for (HeldUse* use = held_uses; use; use = use->next_) use->flag_->stamp(0);
  for (HeldUse* use = held_uses; use; use = use->next_) {
    if (use->exclusive_) {
      use->flag_->stamp(UseFlag::kExclusive);
    } else {
      use->flag_->stamp_one_more();
    }
  }
}

bool SharedUse::acquire(UseFlag& flag) {
  if (!flag.try_shared()) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return false;
  }
  hold(flag, false);
  return true;
}

bool ExclusiveUse::acquire(UseFlag& flag) {
  if (!flag.try_exclusive()) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return false;
  }
  hold(flag, true);
  return true;
}

// Starts a new use epoch in each child. Registered as the module loads, before
// any use can be taken, and never unregistered: it must outlive every thread
// that might fork, also at process exit.
class UseForkHooks final : public ForkHooks {
 public:
  void before_fork() noexcept override {}
  void after_fork_in_parent() noexcept override {}
  void after_fork_in_child() noexcept override {
    use_epoch.fetch_add(1, std::memory_order_relaxed);
    HeldUse::carry_into_child();
  }

 private:
  ForkRegistration registration_{*this};
};

namespace {
[[maybe_unused]] const UseForkHooks* const use_fork_hooks = new UseForkHooks();
}  // namespace

// ---- Int objects ---------------------------------------------------------------

IntCache::~IntCache() {
  if (interpreter_lock_lost()) return;  // the objects are leaked, see calling_python
  for (const Slot& slot : slots_) Py_XDECREF(slot.object);
}

void IntCache::place(uint32_t value, PyObject* object) noexcept {
  size_t i = slot_of(value);
  while (slots_[i].object) i = (i + 1) & mask_;
  slots_[i] = Slot{value, object};
}

void IntCache::keep(uint32_t value, PyObject* object) {
  if (2 * (used_ + 1) > slots_.size()) {
    std::vector<Slot> old =
        std::exchange(slots_, std::vector<Slot>(std::max<size_t>(64, 2 * slots_.size())));
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.object) place(slot.value, slot.object);
    }
  }
  place(value, object);
  ++used_;
}

PyObject* IntCache::add(uint32_t value) {
  Ref object = Ref::steal(PyLong_FromUnsignedLong(value));
  if (!object) return nullptr;
  // Exhausted memory is reported like a failed int, so that callers holding
  // references of their own can give them back.
  try {
    keep(value, object.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  }
  Py_INCREF(object.get());  // the cache's own reference
  return object.release();
}

// ---- Calls into Python and the interpreter lock ----------------------------------

namespace {
thread_local bool lock_lost = false;
}  // namespace

// The interpreter clears its "initialized" state right after it starts to
// stop other threads (the next store), long before the unwind of a stopped
// thread reaches a destructor of ours.
bool interpreter_lock_lost() noexcept { return lock_lost || !Py_IsInitialized(); }

void mark_interpreter_lock_lost() noexcept { lock_lost = true; }

RefList::~RefList() noexcept(false) {
  for (PyObject* object : objects_) release_reference(object);
}

GilRelease::~GilRelease() noexcept(false) {
  if (!state_) return;
  calling_python([this] { PyEval_RestoreThread(state_); });
}

bool yield_interpreter_lock() {
  // A Python function that does nothing, made on first need and kept for the
  // process: calling it allocates no object, so it never starts a
  // collection. Not a guarded static: making it runs Python code, in which
  // another thread may take the lock and come here too.
  static PyObject* nothing = nullptr;
  if (!nothing) {
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
      return false;
    }
    Ref code = Ref::steal(Py_CompileString("lambda: None", "<yield>", Py_eval_input));
    if (!code) return false;
    Ref made = Ref::steal(
        calling_python([&] { return PyEval_EvalCode(code.get(), globals.get(), globals.get()); }));
    if (!made) return false;
    if (!nothing) nothing = made.release();
  }
  return static_cast<bool>(Ref::steal(calling_python([] { return PyObject_CallNoArgs(nothing); })));
}

GilSlice::GilSlice(GilRelease& released) : released_(released) {
  PyThreadState* state = std::exchange(released.state_, nullptr);
  calling_python([state] { PyEval_RestoreThread(state); });
}

GilSlice::~GilSlice() {
  if (!lock_lost) released_.state_ = PyEval_SaveThread();
}

// ---- Types -------------------------------------------------------------------

PyTypeObject* type_once(PyObject*& cell, PyType_Spec* spec) {
  if (!cell) cell = PyType_FromSpec(spec);
  return reinterpret_cast<PyTypeObject*>(cell);
}

}  // namespace brindlore::py
