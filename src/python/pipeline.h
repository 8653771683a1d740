// The shell of the module `pipeline`: batch argument extraction and the
// pre-tokenizer entry points.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/parallel.h"
#include "python/binding.h"

namespace brindlore::py {

// ---- Batch argument extraction ----

// The texts of one batch call as UTF-8 views, each into an encoded copy of the
// caller's str that the batch keeps alive. The views may be read from any
// thread without the interpreter lock; the batch itself must be destroyed with
// the lock held.
class BorrowedBatch {
 public:
  BorrowedBatch() = default;
  BorrowedBatch(BorrowedBatch&&) = default;
  BorrowedBatch& operator=(BorrowedBatch&&) = default;
  // Drops the copies; on a thread that lost the interpreter lock for good
  // (see GilRelease) it leaks them instead.
  ~BorrowedBatch();

  std::span<const std::string_view> texts() const noexcept { return views_; }
  size_t size() const noexcept { return views_.size(); }

  // Encodes one str item and keeps it; on refusal returns false with the
  // conversion error pending.
  bool append(PyObject* item);
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
// tuples are read from their own storage. Needs the interpreter lock. Leaves
// no exception pending, except an interrupt or MemoryError raised while
// reading the input (see `pending_error_propagates`), which stays pending
// for `raise_core` to let through unchanged.
Result<BorrowedBatch> extract_borrowed_strings(PyObject* obj);

// 1 when `obj` is an instance of collections.abc.Sequence, else 0. A failing
// test is reported as unraisable and counts as 0, except an interrupt or
// MemoryError, which stays pending (-1).
int is_abc_sequence(PyObject* obj);

// ---- Pre-tokenization ----

// Method record of rust_pre_tokenize, kept for the process.
PyMethodDef* rust_pre_tokenize_function();

// ---- Fused encoders ----

// Method records, kept for the process.
PyMethodDef* rust_encode_text_batch_function();
PyMethodDef* rust_encode_text_native_function();
PyMethodDef* rust_encode_text_native_batch_function();
PyMethodDef* rust_encode_text_native_ids_function();
PyMethodDef* rust_encode_text_native_ids_batch_function();

// The scheme of the batch calls that always release the interpreter lock and
// use the pool, for one text and for none too.
inline constexpr BatchScheme kAlwaysParallel{0, false, false};

// A new list of str (or of int) holding the items in order; null with an
// exception set on failure.
PyObject* new_str_list(const std::vector<std::string>& items);
PyObject* new_id_list(const std::vector<uint32_t>& items);

// Builders of the per-text lists of one batch result. The id lists of a batch
// share their int objects.
struct TokenLists {
  PyObject* operator()(const std::vector<std::string>& items) const { return new_str_list(items); }
};
struct IdLists {
  IntCache ints;
  PyObject* operator()(const std::vector<uint32_t>& items) {
    return new_list(items.size(), [&](size_t i) { return ints.get(items[i]); });
  }
};

}  // namespace brindlore::py
