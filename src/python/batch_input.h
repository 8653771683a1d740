// Reading the `texts` argument of every batch entry point into UTF-8 views
// that the worker threads can read without the interpreter lock.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "python/binding.h"

namespace brindlore::py {

// The texts of one batch call as UTF-8 views, each into an encoded copy of the
// caller's str that the batch keeps alive. The views may be read from any
// thread without the interpreter lock; the batch itself must be destroyed with
// the lock held (on a thread that lost it for good, see `calling_python`, the
// copies are leaked instead). Its destructor lets a forced unwind through, so
// it lives in a frame of its own, never in a Result.
class BorrowedBatch {
 public:
  BorrowedBatch() = default;
  BorrowedBatch(const BorrowedBatch&) = delete;
  BorrowedBatch& operator=(const BorrowedBatch&) = delete;

  std::span<const std::string_view> texts() const noexcept { return views_; }
  size_t size() const noexcept { return views_.size(); }

  // Encodes one str item and keeps it; on refusal returns false with the
  // conversion error pending.
  bool append(Ref item);
  void reserve(size_t n) {
    views_.reserve(n);
    owners_.reserve(n);
  }

 private:
  std::vector<std::string_view> views_;
  RefList owners_;
};

// Reads a `texts` argument into `batch` (empty), or returns the refusal
// message: a str or bytes object, something that is neither a list, a tuple,
// a collections.abc.Sequence nor an iterable, an item that is not an
// encodable str, or an error raised while reading the sequence or iterator.
// Lists and tuples are read from their own storage. Needs the interpreter
// lock. Leaves no exception pending, except an interrupt or MemoryError raised
// while reading the input (see `pending_error_propagates`), which stays
// pending for `raise_core` to let through unchanged.
Status extract_borrowed_strings(PyObject* obj, BorrowedBatch& batch);

// 1 when `obj` is an instance of collections.abc.Sequence, else 0. A failing
// test is reported as unraisable and counts as 0, except an interrupt or
// MemoryError, which stays pending (-1).
int is_abc_sequence(PyObject* obj);

}  // namespace brindlore::py
