// The shell of the module `pipeline`: batch argument extraction and the
// pre-tokenizer entry points.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/binding.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

// The texts of one batch call as UTF-8 views, each into an encoded copy of the
// caller's str that the batch keeps alive. The views may be read from any
// thread without the interpreter lock; the batch itself must be destroyed with
// the lock held.
class BorrowedBatch {
 public:
  std::span<const std::string_view> texts() const noexcept { return views_; }
  size_t size() const noexcept { return views_.size(); }

  // Encodes one str item and keeps it; on refusal returns false with the
  // message in `error` and no exception pending.
  bool append(PyObject* item, std::string& error);
  void reserve(size_t n) {
    views_.reserve(n);
    owners_.reserve(n);
  }

 private:
  std::vector<std::string_view> views_;
  std::vector<Ref> owners_;
};

// Turns a `texts` argument into a borrowed batch, or the refusal message: a
// str or bytes object, something that is neither a list, a tuple, a
// collections.abc.Sequence nor an iterable, an item that is not an encodable
// str, or an error raised while reading the sequence or iterator. Lists and
// tuples are read from their own storage. Needs the interpreter lock; leaves
// no exception pending.
Result<BorrowedBatch> extract_borrowed_strings(PyObject* obj);

// ---- Pre-tokenization ----

// Method record of rust_pre_tokenize, kept for the process.
PyMethodDef* rust_pre_tokenize_function();

}  // namespace brindlore::py
