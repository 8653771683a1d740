// The binding toolkit: everything the Python shells share, written once.
//
//  - `Ref`: an owning reference to a Python object (no leaks on early return).
//  - `FunctionSpec`/`Param`: one declaration per function or method, from which
//    both the argument binder and the "name(sig)\n--\n\n" documentation text
//    are produced.
//  - `Args`: binds positional and keyword arguments with the interpreter's own
//    TypeError wording, then converts them one by one; every failed conversion
//    carries the note "while processing '<parameter>'".
//  - `UseFlag`, `SharedUse`, `ExclusiveUse`: the per-instance use flag and its
//    two RuntimeErrors, updated atomically so it stays right while worker
//    threads use an object with the interpreter lock released.
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

// ---- References --------------------------------------------------------------

// Owns one reference (or none).
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

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
void raise_from_current_exception() noexcept;

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
// per instance: batch results repeat the same few thousand token ids millions
// of times, and sharing the objects saves both their creation and their
// release. Values below `kDirectLimit` (every id of a usual vocabulary) are
// found by index in pages made on first need, the others by hashing; either
// way the memory grows with the number of distinct values handed out, never
// with their size.
class IntCache {
 public:
  static constexpr uint32_t kDirectLimit = uint32_t{1} << 17;

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

  // The int `value` (a borrowed reference, kept by the cache), made on first
  // need; null with an exception set.
  PyObject* borrow(uint32_t value) {
    PyObject* object = find(value);
    if (object) return object;
    object = add(value);
    if (object) Py_DECREF(object);
    return object;
  }

  // The int `value` if the cache holds it (borrowed), else null.
  PyObject* find(uint32_t value) const noexcept {
    if (value < kDirectLimit) {
      const size_t page = value >> kPageBits;
      if (page >= pages_.size() || !pages_[page]) return nullptr;
      return pages_[page][value & (kPageSize - 1)];
    }
    if (slots_.empty()) return nullptr;
    for (size_t i = slot_of(value);; i = (i + 1) & mask_) {
      const Slot& slot = slots_[i];
      if (!slot.object || slot.value == value) return slot.object;
    }
  }

 private:
  static constexpr unsigned kPageBits = 6;
  static constexpr size_t kPageSize = size_t{1} << kPageBits;

  struct Slot {
    uint32_t value = 0;
    PyObject* object = nullptr;  // null: the slot is free
  };

  size_t slot_of(uint32_t value) const noexcept {
    return static_cast<size_t>((uint64_t{value} * 0x9E3779B97F4A7C15u) >> 32) & mask_;
  }
  PyObject* add(uint32_t value);
  void keep_direct(uint32_t value, PyObject* object);
  void keep_hashed(uint32_t value, PyObject* object);
  void place(uint32_t value, PyObject* object) noexcept;

  std::vector<std::unique_ptr<PyObject*[]>> pages_;  // values below kDirectLimit
  std::vector<Slot> slots_;  // the others: open addressing, a power of two in size, at most half full
  size_t mask_ = 0;
  size_t used_ = 0;
};

// An int cache for the life of the process, never destroyed (its objects are
// left to the process's end, like the interpreter's own at exit). Used for
// values below `IntCache::kDirectLimit` only, so it never holds more than
// 5 MB. Needs the interpreter lock.
IntCache& lasting_ints();

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

class UseFlag {
 public:
  bool try_shared() noexcept {
    intptr_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur == kExclusive) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept {
    intptr_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr intptr_t kExclusive = -1;
  std::atomic<intptr_t> state_{0};
};

// Shared use for a scope; `acquire` raises "Already mutably borrowed".
class SharedUse {
 public:
  SharedUse() = default;
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;
  ~SharedUse() {
    if (flag_) flag_->release_shared();
  }
  bool acquire(UseFlag& flag);

 private:
  UseFlag* flag_ = nullptr;
};

// Exclusive use for a scope; `acquire` raises "Already borrowed".
class ExclusiveUse {
 public:
  ExclusiveUse() = default;
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;
  ~ExclusiveUse() {
    if (flag_) flag_->release_exclusive();
  }
  bool acquire(UseFlag& flag);

 private:
  UseFlag* flag_ = nullptr;
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

// Releases the interpreter lock for a scope.
//
// While the interpreter finalizes, re-taking the lock ends the calling thread
// by a forced unwind (the way the interpreter stops daemon threads). That
// unwind must reach the thread's start unhindered: the destructor lets it
// through (a `noexcept` frame on its way would end the process), and it marks
// the thread so that objects still holding interpreter references drop them
// without touching the interpreter (`interpreter_lock_lost`). Everything
// between here and the entry point must let the unwind pass too: no
// `noexcept` frame and no `catch (...)` that does not rethrow it.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false);
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// True on a thread that failed to re-take the interpreter lock because the
// interpreter is finalizing; the thread is being unwound and must not touch
// any interpreter object again (references it holds are leaked instead).
bool interpreter_lock_lost() noexcept;

// ---- Entry points ------------------------------------------------------------------

using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The boundary of every entry point: runs `body`; a C++ exception that would
// escape becomes a Python error and `failed` is returned. The forced unwind
// of a thread that the finalizing interpreter stops passes through (see
// GilRelease), which is also why no boundary is `noexcept`.
template <typename R, typename F>
R boundary(R failed, F&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
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

}  // namespace brindlore::py
