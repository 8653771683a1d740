// The binding toolkit: everything the Python shells share, written once.
//
//  - `calling_python`: the wrapper of every call that can run Python code, so
//    that a thread the finalizing interpreter stops inside such a call leaks
//    the references its frames hold instead of releasing them without the lock.
//  - `Ref`, `RefList`: owning references to Python objects (no leaks on early
//    return).
//  - `FunctionSpec`/`Param`: one declaration per function or method, from which
//    both the argument binder and the "name(sig)\n--\n\n" documentation text
//    are produced.
//  - `Args`: binds positional and keyword arguments with the interpreter's own
//    TypeError wording, then converts them one by one; every failed conversion
//    carries the note "while processing '<parameter>'".
//  - `UseFlag`, `SharedUse`, `ExclusiveUse`: the per-instance use flag and its
//    two RuntimeErrors, updated atomically so it stays right while worker
//    threads use an object with the interpreter lock released, and ended in a
//    fork's child for the threads the fork left behind.
//  - `Box<T>`: the instance layout of every class (object head, use flag, value).
//  - `GilRelease`: releases the interpreter lock for a scope.
//  - `entry<Impl>`: the boundary of every entry point; a C++ exception that
//    would escape becomes the internal-failure exception (MemoryError for
//    exhausted memory) instead of ending the process.
//
// All of it runs with the interpreter lock held unless stated otherwise.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"

namespace brindlore::py {

// ---- Calls into Python -----------------------------------------------------

// While the interpreter finalizes, a daemon thread that takes the interpreter
// lock again is ended by a forced unwind (`abi::__forced_unwind`). Any call
// that runs Python code may take it again: an iterator, a generator,
// `__index__`, `__float__`, `__str__`, `__len__`, `__getitem__`, an ABC's
// `__instancecheck__`, an import, a finalizer that releasing a reference runs.
// The unwind runs the destructors of our frames without the lock, so they must
// not touch interpreter objects then: they leak what they hold instead.
//
// The calls that run the caller's Python code go through `calling_python`,
// which marks the thread before the unwind reaches the destructors of the
// calling frame (its catch handler runs first). Every holder of references
// checks `interpreter_lock_lost` before releasing them, which is also true
// once the interpreter finalizes: that covers the calls that are not wrapped,
// such as an allocation that starts a garbage collection whose finalizers run
// Python code. Nothing between a call into Python and the entry point may be
// `noexcept` (a forced unwind through it ends the process), and no
// `catch (...)` may swallow the unwind.

// True on a thread that must not touch interpreter objects again: a forced
// unwind ended a call into Python on it, or the interpreter is finalizing.
// References held there are leaked instead of released.
bool interpreter_lock_lost() noexcept;

// Marks the calling thread as above; the catch handlers below use it.
void mark_interpreter_lock_lost() noexcept;

// The unwinder hands a `catch (abi::__forced_unwind&)` handler no object, so
// the reference it binds is null; the handlers only rethrow and never read it.
// The undefined-behaviour sanitizer would report the binding and end the
// process, so the functions holding such a handler (small, and calling out to
// checked code for the rest) are not instrumented for it. GCC 12 ignores the
// narrower "null".
#define BRINDLORE_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("undefined")))

// Runs `call`, a call into the interpreter that can run Python code, and
// returns its result. A forced unwind that ends the thread inside it marks
// the thread and goes on.
template <typename F>
BRINDLORE_CATCHES_FORCED_UNWIND decltype(auto) calling_python(F&& call) {
  try {
    return call();
  } catch (const abi::__forced_unwind&) {
    mark_interpreter_lock_lost();
    throw;
  }
}

// Gives back one reference to `object` (null allowed). Releasing the last one
// may run Python code (a finalizer, a suspended generator's cleanup), so this
// is a call into Python too. Leaks the reference on a thread that lost the
// interpreter lock.
inline void release_reference(PyObject* object) {
  if (object && !interpreter_lock_lost()) calling_python([object] { Py_DECREF(object); });
}

// ---- References --------------------------------------------------------------

// Owns one reference (or none). Its destructor and assignment can run Python
// code and let a forced unwind through, so it must not be kept in a standard
// container, an optional or a variant, whose destructors are `noexcept`: keep
// many references in a `RefList`.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) {
    if (this != &o) release_reference(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() noexcept(false) { release_reference(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Owns references to many objects, given back in order when it goes (or
// leaked, see `release_reference`).
class RefList {
 public:
  RefList() = default;
  RefList(const RefList&) = delete;
  RefList& operator=(const RefList&) = delete;
  ~RefList() noexcept(false);

  void reserve(size_t n) { objects_.reserve(n); }
  // Takes over the reference `ref` holds.
  void push_back(Ref&& ref) {
    objects_.push_back(ref.get());
    ref.release();
  }

 private:
  std::vector<PyObject*> objects_;
};

// The calls into Python that the shells make, each through `calling_python`;
// they return what the function of the C API in their comment returns.
inline Ref get_iter(PyObject* obj) {  // PyObject_GetIter
  return Ref::steal(calling_python([obj] { return PyObject_GetIter(obj); }));
}
inline Ref next_item(PyObject* iterator) {  // PyIter_Next
  return Ref::steal(calling_python([iterator] { return PyIter_Next(iterator); }));
}
inline Py_ssize_t sequence_size(PyObject* obj) {  // PySequence_Size
  return calling_python([obj] { return PySequence_Size(obj); });
}
inline Ref sequence_item(PyObject* obj, Py_ssize_t i) {  // PySequence_GetItem
  return Ref::steal(calling_python([obj, i] { return PySequence_GetItem(obj, i); }));
}
inline int instance_of(PyObject* obj, PyObject* cls) {  // PyObject_IsInstance
  return calling_python([obj, cls] { return PyObject_IsInstance(obj, cls); });
}
inline Ref number_index(PyObject* obj) {  // PyNumber_Index
  return Ref::steal(calling_python([obj] { return PyNumber_Index(obj); }));
}
inline double float_value(PyObject* obj) {  // PyFloat_AsDouble
  return calling_python([obj] { return PyFloat_AsDouble(obj); });
}
inline Ref str_of(PyObject* obj) {  // PyObject_Str
  return Ref::steal(calling_python([obj] { return PyObject_Str(obj); }));
}

// ---- Errors ------------------------------------------------------------------

// Raises a CoreError as ValueError with its message unchanged; returns null.
// An exception already pending (an interrupt that a step let through, see
// `pending_error_propagates`) is left to propagate instead.
PyObject* raise_core(const CoreError& error);

// True when the pending exception must reach the caller unchanged instead of
// being reported in another form: anything that is not an Exception
// (KeyboardInterrupt, SystemExit, GeneratorExit) and MemoryError.
bool pending_error_propagates();

// Adds a note to the pending exception.
void add_note(const char* note);

// Raises TypeError "'<type>' object is not an instance of '<expected>'"
// ("'None' is not an instance of '<expected>'" for None); returns null.
PyObject* raise_not_instance(PyObject* obj, const char* expected);

// The exception raised for internal failures; derives from BaseException and
// is created on first need. Borrowed reference.
PyObject* internal_failure_type();

// Turns the exception in flight (inside a catch block) into a Python error.
// Not `noexcept`: making the internal-failure type runs Python code.
void raise_from_current_exception();

// The error's text as messages embed it: "<TypeName>: <message>". When the
// message cannot be produced because str() raised an exception that
// propagates, that exception is left pending.
std::string render_exception(PyObject* exc);

// Takes the pending exception and renders it as above (clearing it).
std::string take_rendered_error();

// ---- Declarations and binding --------------------------------------------------

struct Param {
  const char* name;
  const char* default_text = nullptr;  // as the text signature shows it; null = required
};

struct FunctionSpec {
  const char* name;                  // "insert", "rust_pre_tokenize", "__new__"
  const char* owner = nullptr;       // class name for methods and constructors
  std::span<const Param> params;
  const char* doc = nullptr;         // docstring after the signature, if any
  bool is_method = false;            // shows "$self" first
  const char* signature_name = nullptr;  // name shown in the signature, if not `name`
};

// "name($self, a, b=1)\n--\n\ndoc", kept for the life of the process.
const char* documentation(const FunctionSpec& spec);

// "rust_pre_tokenize()" or "RustPrefixTrie.insert()".
std::string call_name(const FunctionSpec& spec);

class Args {
 public:
  static constexpr size_t kMaxParams = 16;

  // Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list.
  bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
  // Binds a tuple and an optional dict (constructors).
  bool bind(const FunctionSpec& spec, PyObject* args, PyObject* kwargs);

  // The bound object of parameter `i`, or null when an optional one was omitted.
  PyObject* get(size_t i) const noexcept { return slots_[i]; }
  bool given(size_t i) const noexcept { return slots_[i] != nullptr; }

  // Conversions of parameter `i`; each returns false with an exception set
  // and the parameter's note added. Omitted optional parameters keep `out`.
  bool str(size_t i, std::string_view& out) const;
  bool boolean(size_t i, bool& out) const;
  bool float64(size_t i, double& out) const;
  bool u32(size_t i, uint32_t& out) const;
  bool u64(size_t i, uint64_t& out) const;
  bool optional_u32(size_t i, std::optional<uint32_t>& out) const;
  bool optional_u64(size_t i, std::optional<uint64_t>& out) const;
  bool one_char(size_t i, char32_t& out) const;

  // Adds the note of parameter `i` to the pending exception; returns false.
  bool fail(size_t i) const;

  const FunctionSpec& spec() const noexcept { return *spec_; }

 private:
  bool bind_keyword(PyObject* key, PyObject* value, size_t nargs);
  bool check_missing() const;

  const FunctionSpec* spec_ = nullptr;
  PyObject* slots_[kMaxParams] = {};
};

// Plain conversions (no note); false with an exception set on failure.
bool to_str(PyObject* obj, std::string_view& out);
bool to_bool(PyObject* obj, bool& out);
bool to_float(PyObject* obj, double& out);
bool to_u32(PyObject* obj, uint32_t& out);
bool to_u64(PyObject* obj, uint64_t& out);
bool to_char(PyObject* obj, char32_t& out);

// ---- Results -------------------------------------------------------------------

inline PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}
inline PyObject* new_optional_u32(const std::optional<uint32_t>& v) {
  if (v) return PyLong_FromUnsignedLong(*v);
  Py_RETURN_NONE;
}

// Hands out int objects for u32 values, creating each distinct value once
// per instance: batch results repeat the same ids many times, and sharing the
// objects saves both their creation and their release. Found by hashing, so
// the memory grows with the number of distinct values handed out, never with
// their size.
class IntCache {
 public:
  IntCache() = default;
  IntCache(const IntCache&) = delete;
  IntCache& operator=(const IntCache&) = delete;
  ~IntCache();

  // A new reference to the int `value`, or null with an exception set.
  PyObject* get(uint32_t value) {
    PyObject* object = find(value);
    if (!object) return add(value);
    Py_INCREF(object);
    return object;
  }

 private:
  struct Slot {
    uint32_t value = 0;
    PyObject* object = nullptr;  // null: the slot is free
  };

  // The int `value` if the cache holds it (borrowed), else null.
  PyObject* find(uint32_t value) const noexcept {
    if (slots_.empty()) return nullptr;
    for (size_t i = slot_of(value);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.object || slot.value == value) return slot.object;
    }
  }
  size_t slot_of(uint32_t value) const noexcept {
    return static_cast<size_t>((uint64_t{value} * 0x9E3779B97F4A7C15u) >> 32) & mask_;
  }
  PyObject* add(uint32_t value);
  void keep(uint32_t value, PyObject* object);
  void place(uint32_t value, PyObject* object) noexcept;

  std::vector<Slot> slots_;  // open addressing, a power of two in size, at most half full
  size_t mask_ = 0;
  size_t used_ = 0;
};

// Adds `count` references to `object` at once, as `count` Py_INCREFs would
// (a negative count takes them back, never the last one).
inline void add_references(PyObject* object, Py_ssize_t count) noexcept {
  Py_SET_REFCNT(object, Py_REFCNT(object) + count);
}

// A new list of `n` items, item i being the new reference `make(i)` returns;
// null with an exception set when any of them fails.
template <typename F>
PyObject* new_list(size_t n, F&& make) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (!item) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ---- Use flags -------------------------------------------------------------------

// The use epoch of the process: 0 in the process that loaded the module, one
// more in each child forked from it. Bumped only in a child's at-fork handler,
// where the forking thread is the only thread, so a relaxed load reads it.
// Kept here rather than asked of the fork guard because every use of an
// instance reads it.
inline std::atomic<uint32_t> use_epoch{0};

// The use flag of an instance: the number of shared uses held, or that the one
// exclusive use is held, stamped with the use epoch in which they were taken,
// in one atomic word. A use belongs to the thread that took it, and a fork
// leaves the child only the forking thread: there a count stamped in an
// earlier epoch counts as no use at all, since its holders are gone and can
// never give it back. The forking thread's own uses are stamped anew as the
// child starts (see HeldUse), so they stay held until their scopes end.
class UseFlag {
 public:
  bool try_shared() noexcept {
    const uint32_t epoch = use_epoch.load(std::memory_order_relaxed);
    uint64_t cur = state_.load(std::memory_order_relaxed);
    uint64_t next;
    do {
      const int32_t count = count_in(cur, epoch);
      if (count == kExclusive) return false;
      next = pack(epoch, count + 1);
    } while (!state_.compare_exchange_weak(cur, next, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  // A release finds its own epoch by construction; one that would not (a use
  // never taken, or taken before a fork and not carried over) changes nothing
  // rather than take a use from another holder.
  void release_shared() noexcept {
    const uint32_t epoch = use_epoch.load(std::memory_order_relaxed);
    uint64_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (count_in(cur, epoch) <= 0) return;
    } while (!state_.compare_exchange_weak(cur, cur - 1, std::memory_order_release,
                                           std::memory_order_relaxed));
  }
  bool try_exclusive() noexcept {
    const uint32_t epoch = use_epoch.load(std::memory_order_relaxed);
    uint64_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (count_in(cur, epoch) != 0) return false;
    } while (!state_.compare_exchange_weak(cur, pack(epoch, kExclusive),
                                           std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_exclusive() noexcept {
    const uint32_t epoch = use_epoch.load(std::memory_order_relaxed);
    uint64_t held = pack(epoch, kExclusive);
    state_.compare_exchange_strong(held, pack(epoch, 0), std::memory_order_release,
                                   std::memory_order_relaxed);
  }

 private:
  friend class HeldUse;

  static constexpr int32_t kExclusive = -1;

  static constexpr uint64_t pack(uint32_t epoch, int32_t count) noexcept {
    return (uint64_t{epoch} << 32) | static_cast<uint32_t>(count);
  }
  // The count `state` holds in `epoch`: none when it was stamped in another.
  static constexpr int32_t count_in(uint64_t state, uint32_t epoch) noexcept {
    return static_cast<uint32_t>(state >> 32) == epoch ? static_cast<int32_t>(state & 0xFFFFFFFFu)
                                                       : 0;
  }

  // For the forking thread in a child only: sets the count of the current
  // epoch, or adds one shared use to it.
  void stamp(int32_t count) noexcept {
    state_.store(pack(use_epoch.load(std::memory_order_relaxed), count),
                 std::memory_order_relaxed);
  }
  void stamp_one_more() noexcept {
    const uint64_t state = state_.load(std::memory_order_relaxed);
    stamp(count_in(state, use_epoch.load(std::memory_order_relaxed)) + 1);
  }

  std::atomic<uint64_t> state_{0};
};

// A use of a flag held by the calling thread for a scope. Each thread keeps a
// list of the uses it holds, so that a fork's child can carry the forking
// thread's uses into the new epoch with that thread's own counts; the uses of
// every other thread end there with the threads. The list is doubly linked
// because scopes of one thread may end out of order when the host switches
// stacks on it (greenlets) inside a call into Python.
class HeldUse {
 public:
  HeldUse(const HeldUse&) = delete;
  HeldUse& operator=(const HeldUse&) = delete;

 protected:
  HeldUse() = default;
  ~HeldUse() {
    if (flag_) release();
  }
  // Records `flag`, just taken by the calling thread, as held by this scope.
  void hold(UseFlag& flag, bool exclusive) noexcept;

 private:
  friend class UseForkHooks;

  void release() noexcept;
  // In a child, on the forking thread: stamps the flags of the uses the
  // thread holds with the new epoch and its own counts.
  static void carry_into_child() noexcept;

  UseFlag* flag_ = nullptr;
  HeldUse* prev_ = nullptr;
  HeldUse* next_ = nullptr;
  bool exclusive_ = false;
};

// Shared use for a scope; `acquire` raises "Already mutably borrowed".
class SharedUse : public HeldUse {
 public:
  bool acquire(UseFlag& flag);
};

// Exclusive use for a scope; `acquire` raises "Already borrowed".
class ExclusiveUse : public HeldUse {
 public:
  bool acquire(UseFlag& flag);
};

// ---- Instances -------------------------------------------------------------------

// The layout of every instance: the object head, the use flag, the value.
template <typename T>
struct Box {
  PyObject_HEAD
  UseFlag use;
  T value;

  static Box* of(PyObject* obj) noexcept { return reinterpret_cast<Box*>(obj); }

  // A new instance of `type` holding `value`; null with an exception set when
  // the object cannot be allocated (the value is then dropped).
  static PyObject* create(PyTypeObject* type, T&& value) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) return nullptr;
    Box* box = of(obj);
    new (&box->use) UseFlag();
    new (&box->value) T(std::move(value));
    return obj;
  }

  static void dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Box* box = of(obj);
    box->value.~T();
    box->use.~UseFlag();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(type);
  }
};

// Creates a heap type once per process and returns it (borrowed) afterwards.
PyTypeObject* type_once(PyObject*& cell, PyType_Spec* spec);

// True when `obj` is an instance of `type`.
inline bool is_instance(PyObject* obj, PyTypeObject* type) {
  return Py_IS_TYPE(obj, type) || PyType_IsSubtype(Py_TYPE(obj), type);
}

// ---- The interpreter lock ----------------------------------------------------------

// Releases the interpreter lock for a scope. Re-taking it goes through
// `calling_python`: while the interpreter finalizes, it ends the thread by a
// forced unwind, which the destructor lets through.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false);
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  friend class GilSlice;
  PyThreadState* state_;  // null while a GilSlice holds the lock, or after it failed to
};

// Takes the interpreter lock back for a scope inside a GilRelease scope, and
// releases it again at its end. Taking it, or any call into Python made
// while it is held, may end the thread by a forced unwind (see GilRelease):
// the thread does not hold the lock then, and neither the slice nor the
// GilRelease touches it again.
class GilSlice {
 public:
  explicit GilSlice(GilRelease& released);
  ~GilSlice();
  GilSlice(const GilSlice&) = delete;
  GilSlice& operator=(const GilSlice&) = delete;

 private:
  GilRelease& released_;
};

// Lets another thread have the interpreter lock if one has asked for it,
// held as it is: runs the interpreter's evaluation loop over an empty
// expression, which, like between the bytecodes of any Python code, hands the
// lock to a thread that has waited for it for the switch interval, takes it
// back afterwards, and runs what is pending there (calls scheduled with
// Py_AddPendingCall, and signal handlers on the main thread). Releasing and
// re-taking the lock would not do: a waiting thread rarely wins it back from
// a thread that takes it again at once. The cyclic garbage collector must not
// be paused (other threads may run). False with an exception set when what
// ran raised one (an interrupt, for example).
bool yield_interpreter_lock();

// ---- Entry points ------------------------------------------------------------------

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The boundary of every entry point: runs `body`; a C++ exception that would
// escape becomes a Python error and `failed` is returned. The forced unwind
// of a thread that the finalizing interpreter stops passes through (see
// `calling_python`), which is also why no boundary is `noexcept`.
template <typename R, typename F>
BRINDLORE_CATCHES_FORCED_UNWIND R boundary(R failed, F&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    mark_interpreter_lock_lost();
    throw;
  } catch (...) {
    raise_from_current_exception();
    return failed;
  }
}

// The boundary of a METH_FASTCALL | METH_KEYWORDS entry point.
template <FastFunction Impl>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary<PyObject*>(nullptr, [&] { return Impl(self, args, nargs, kwnames); });
}

// The boundary of a constructor (tp_new).
template <PyObject* (*Impl)(PyTypeObject*, PyObject*, PyObject*)>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary<PyObject*>(nullptr, [&] { return Impl(type, args, kwargs); });
}

// The boundary of a getter.
template <PyObject* (*Impl)(PyObject*, void*)>
PyObject* getter_entry(PyObject* self, void* closure) {
  return boundary<PyObject*>(nullptr, [&] { return Impl(self, closure); });
}

// The boundary of a setter.
template <int (*Impl)(PyObject*, PyObject*, void*)>
int setter_entry(PyObject* self, PyObject* value, void* closure) {
  return boundary<int>(-1, [&] { return Impl(self, value, closure); });
}

// A method table row for a METH_FASTCALL | METH_KEYWORDS entry point.
template <FastFunction Impl>
PyMethodDef method_def(const FunctionSpec& spec) {
  return PyMethodDef{spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Impl>)),
                     METH_FASTCALL | METH_KEYWORDS, documentation(spec)};
}

// The method table row of a module function, made on first call and kept for
// the process: the module's function table points to it.
template <FastFunction Impl>
PyMethodDef* function_def(const FunctionSpec& spec) {
  static PyMethodDef def = method_def<Impl>(spec);
  return &def;
}

}  // namespace brindlore::py
