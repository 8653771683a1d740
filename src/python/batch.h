// The Python side of the batch scheme, shared by every batch entry point:
// turn `texts` into a borrowed batch, run the per-text work under the scheme
// (releasing the interpreter lock for the part that runs on the worker pool),
// then, with the lock held again, build the result list at its final size.
#pragma once

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/parallel.h"
#include "python/binding.h"
#include "python/batch_input.h"
#include "python/id_counts.h"

namespace brindlore::py {

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

// Pauses the cyclic garbage collector for a scope. Building a batch result
// creates millions of small lists, each of which would count towards the next
// collection, and nothing made here can form a cycle; no Python code runs
// while the pause lasts, so nobody can observe it.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

// Runs `body(std::string_view text) -> Result<T>` (or `body(size_t index,
// std::string_view text)` when it takes the text's index) over the texts of `texts`
// under `scheme` and returns the list of `build(T&)`, or null with ValueError
// set (a refused batch or the reported failure). `body` runs on worker
// threads without the interpreter lock when the scheme goes parallel, so it
// must not touch interpreter objects. The batch lives until the lock is held
// again.
template <typename T, typename Body, typename Build>
PyObject* run_text_batch(PyObject* texts, const BatchScheme& scheme, Body&& body, Build&& build) {
  BorrowedBatch batch;
  if (Status read = extract_borrowed_strings(texts, batch); !read) return raise_core(read.error());
  const std::span<const std::string_view> views = batch.texts();
  Result<std::vector<T>> results =
      run_batch<T, GilRelease>(views.size(), scheme, [&](size_t i) {
        if constexpr (std::is_invocable_v<Body&, size_t, std::string_view>) {
          return body(i, views[i]);
        } else {
          return body(views[i]);
        }
      });
  if (!results) return raise_core(results.error());
  GcPause pause;
  std::vector<T>& items = *results;
  // Each result is released as soon as its list exists, while its memory is
  // still warm, instead of in one more pass over the whole batch afterwards.
  return new_list(items.size(), [&](size_t i) {
    PyObject* item = build(items[i]);
    items[i] = T{};
    return item;
  });
}

// The ids of one id batch, laid out by each worker thread in large blocks of
// its own: a text's ids are encoded into the thread's scratch vector (reused
// from text to text) and copied to the end of its current block, so that no
// text allocates anything of its own, and counted, so that the lists take the
// references to each int object at once. Released as a whole after the
// result lists are built.
class IdBlocks {
 public:
  // A copy of `ids` that stays valid as long as this object.
  std::span<const uint32_t> keep(std::span<const uint32_t> ids) {
    if (ids.size() > left_) {
      const size_t size = std::max(kBlockIds, ids.size());
      blocks_.push_back(std::make_unique_for_overwrite<uint32_t[]>(size));
      free_ = blocks_.back().get();
      left_ = size;
    }
    uint32_t* start = free_;
    std::copy(ids.begin(), ids.end(), start);
    free_ += ids.size();
    left_ -= ids.size();
    counts_.add(ids);
    return {start, ids.size()};
  }

  std::vector<uint32_t>& scratch() noexcept { return scratch_; }
  const IdCounts& counts() const noexcept { return counts_; }

 private:
  static constexpr size_t kBlockIds = size_t{1} << 16;
  std::vector<std::unique_ptr<uint32_t[]>> blocks_;
  uint32_t* free_ = nullptr;
  size_t left_ = 0;
  std::vector<uint32_t> scratch_;
  IdCounts counts_;
};

// Builds the result lists of an id batch from the laid-out ids. The int
// object of every counted id (those of usual vocabularies) is made once per
// process and takes the references of all its occurrences at once; the serial
// loop that fills the lists then only reads a table and stores pointers,
// touching no int object. Larger ids take one reference per occurrence from a
// cache of the call.
class IdListBuilder {
 public:
  // Makes the objects of the ids `counts` holds and gives each the references
  // its occurrences take. False with an exception set (nothing given) when an
  // object cannot be made.
  bool prepare(const IdCounts& counts) {
    uint32_t failed = 0;
    const bool made = counts.each([&](uint32_t id, uint64_t count) {
      PyObject* object = lasting_.borrow(id);
      if (!object) {
        failed = id;
        return false;
      }
      add_references(object, static_cast<Py_ssize_t>(count));
      return true;
    });
    if (made) return true;
    counts.each([&](uint32_t id, uint64_t count) {
      if (id == failed) return false;
      add_references(lasting_.find(id), -static_cast<Py_ssize_t>(count));
      return true;
    });
    return false;
  }

  // The list of int lists; null with an exception set, every reference given
  // by `prepare` and not yet placed then given back.
  PyObject* build(std::span<const std::span<const uint32_t>> texts) {
    Ref outer = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!outer) return fail(texts, 0, 0);
    for (size_t i = 0; i < texts.size(); ++i) {
      const std::span<const uint32_t> ids = texts[i];
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
      if (!list) return fail(texts, i, 0);
      PyList_SetItem(outer.get(), static_cast<Py_ssize_t>(i), list);
      for (size_t k = 0; k < ids.size(); ++k) {
        const uint32_t id = ids[k];
        PyObject* item = id < IdCounts::kLimit ? lasting_.find(id) : ints_.get(id);
        if (!item) return fail(texts, i, k);
        PyList_SetItem(list, static_cast<Py_ssize_t>(k), item);
      }
    }
    return outer.release();
  }

 private:
  // Gives back the references of the counted ids from item `k` of text `i` on.
  std::nullptr_t fail(std::span<const std::span<const uint32_t>> texts, size_t i, size_t k) {
    for (; i < texts.size(); ++i, k = 0) {
      for (const uint32_t id : texts[i].subspan(k)) {
        if (id < IdCounts::kLimit) Py_DECREF(lasting_.find(id));
      }
    }
    return nullptr;
  }

  // The objects of the counted ids, found by index; kept for the process (at
  // most 5 MB of them), so that later batches need not make them again.
  static_assert(IdCounts::kLimit == IntCache::kDirectLimit);
  IntCache& lasting_ = lasting_ints();
  IntCache ints_;
};

// Runs `body(size_t index, std::string_view text, std::vector<uint32_t>& out)
// -> Status`, which appends a text's ids to `out`, over `texts` under `scheme`
// and returns the list of int lists, or null with ValueError set. The same
// contract as `run_text_batch` otherwise; the ids of all texts are laid out in
// per-thread blocks and each list is built at its final size from them.
template <typename Body>
PyObject* run_id_batch(PyObject* texts, const BatchScheme& scheme, Body&& body) {
  BorrowedBatch batch;
  if (Status read = extract_borrowed_strings(texts, batch); !read) return raise_core(read.error());
  const std::span<const std::string_view> views = batch.texts();
  tbb::enumerable_thread_specific<IdBlocks> blocks;
  Result<std::vector<std::span<const uint32_t>>> results =
      run_batch<std::span<const uint32_t>, GilRelease>(
          views.size(), scheme, [&](size_t i) -> Result<std::span<const uint32_t>> {
            IdBlocks& local = blocks.local();
            std::vector<uint32_t>& ids = local.scratch();
            ids.clear();
            if (Status done = body(i, views[i], ids); !done) return std::move(done).error();
            return local.keep(ids);
          });
  if (!results) return raise_core(results.error());
  GcPause pause;
  IdCounts counts;
  for (const IdBlocks& local : blocks) counts.merge(local.counts());
  IdListBuilder lists;
  if (!lists.prepare(counts)) return nullptr;
  return lists.build(*results);
}

}  // namespace brindlore::py
