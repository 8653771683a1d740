// The Python side of the batch scheme, shared by every batch entry point:
// turn `texts` into a borrowed batch, run the per-text work under the scheme
// and build the result list.
//
// A batch on the pool builds its results while the work goes on: the
// calling thread takes texts like the pool's threads but, between its
// chunks, takes the interpreter lock back to build the lists of the texts
// done so far, in input order, and releases it when it has caught up with
// them. While it builds, it lets any thread that asks for the lock have it,
// as the interpreter does between the bytecodes of Python code, so that
// other Python threads, and a fork, get in however large the batch. The
// cyclic garbage collector is paused while lists are made, never while
// another Python thread may run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/parallel.h"
#include "python/batch_input.h"
#include "python/binding.h"

namespace brindlore::py {

// The scheme of the batch calls that always release the interpreter lock and
// use the pool, for one text and for none too.
inline constexpr BatchScheme kAlwaysParallel{0, false, false};

// A new list of str (or of int) holding the items in order; null with an
// exception set on failure.
PyObject* new_str_list(const std::vector<std::string>& items);
PyObject* new_id_list(const std::vector<uint32_t>& items);

// Builder of the per-text lists of token texts.
struct TokenLists {
  PyObject* operator()(const std::vector<std::string>& items) const { return new_str_list(items); }
};

// Pauses the cyclic garbage collector for a scope. Building a batch result
// creates millions of small lists, each of which would count towards the next
// collection, and nothing made here can form a cycle; the pause ends before
// the interpreter lock is released, so no other Python thread observes it.
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

// The per-text result lists of one batch, built in input order and owned
// until `finish` hands them over in the list of the batch. Released with the
// interpreter lock held (leaked on a thread that lost it, see
// `calling_python`).
class ResultLists {
 public:
  explicit ResultLists(size_t count) { lists_.reserve(count); }
  ResultLists(const ResultLists&) = delete;
  ResultLists& operator=(const ResultLists&) = delete;
  ~ResultLists() noexcept(false);

  size_t built() const noexcept { return lists_.size(); }

  // Builds the lists of the texts from `built()` up to `upto` with
  // `make(i, upto)` (a new reference, or null with an exception set); the
  // texts below `upto` are done, those from it on may still be written by
  // other threads. False with an exception set when `make` fails.
  template <typename Make>
  bool build(size_t upto, Make& make) {
    for (size_t i = lists_.size(); i < upto; ++i) {
      PyObject* list = make(i, upto);
      if (!list) return false;
      lists_.push_back(list);
    }
    return true;
  }

  // The list of all the lists, which it takes over; null with an exception
  // set (the lists are kept then, for the destructor to release).
  PyObject* finish();

 private:
  std::vector<PyObject*> lists_;
};

// The ids of one id batch, laid out by each participant of the map in large
// blocks of its own: a text's ids are encoded into the participant's scratch
// vector (reused from text to text) and copied to the end of its current
// block, so that no text allocates anything of its own. A block never moves,
// so the calling thread can read the ids of a text once it is done while the
// participant goes on. Aligned apart, so that participants do not share the
// cache line of their bookkeeping.
class alignas(64) IdBlocks {
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
    return {start, ids.size()};
  }

  std::vector<uint32_t>& scratch() noexcept { return scratch_; }

 private:
  static constexpr size_t kBlockIds = size_t{1} << 16;
  std::vector<std::unique_ptr<uint32_t[]>> blocks_;
  uint32_t* free_ = nullptr;
  size_t left_ = 0;
  std::vector<uint32_t> scratch_;
};

// The int objects of the ids below `kLimit` (every id of a usual vocabulary),
// made once per process and kept for it (at most 5 MB of them). Each object
// holds, besides the table's own reference, a reserve of references that the
// table hands to list items one by one, taking a new reserve when one runs
// out: a list item takes its reference without touching the object, so that
// the loop that fills the lists only reads and writes this table and stores
// pointers. What is left of a reserve is never given back, like the objects
// themselves, and an object's count never drops below the references its
// items hold, whenever the interpreter lock is released. Needs the
// interpreter lock; the batches of all threads share the table.
//
// The table is one array indexed by id, reserved at once and left for the
// system to back with memory page by page as ids are used, so that an entry
// is found without a page lookup and can be prefetched.
class SharedInts {
 public:
  static constexpr uint32_t kLimit = uint32_t{1} << 17;

  // The table of the process, never destroyed (its objects are left to the
  // process's end, like the interpreter's own at exit).
  static SharedInts& get();

  // Asks for the entry of `id`, which `take` will need soon.
  void prefetch(uint32_t id) const noexcept { __builtin_prefetch(&entries_[id], 1); }

  // A new reference to the int `id`; null with an exception set.
  PyObject* take(uint32_t id) {
    Entry& entry = entries_[id];
    if (entry.reserve == 0) {
      if (!entry.object) {
        entry.object = PyLong_FromUnsignedLong(id);
        if (!entry.object) return nullptr;
      }
      add_references(entry.object, kReserve);
      entry.reserve = kReserve;
    }
    --entry.reserve;
    return entry.object;
  }

 private:
  static constexpr Py_ssize_t kReserve = Py_ssize_t{1} << 20;
  struct Entry {
    PyObject* object = nullptr;
    Py_ssize_t reserve = 0;
  };
  SharedInts();

  Entry* entries_;  // kLimit of them, zeroed
};

// Builds the int lists of an id batch: the objects of small ids come from
// SharedInts, larger ids take one reference per occurrence from a cache of
// the call.
class IdListBuilder {
 public:
  explicit IdListBuilder(std::span<const std::span<const uint32_t>> texts) : texts_(texts) {}
  IdListBuilder(const IdListBuilder&) = delete;
  IdListBuilder& operator=(const IdListBuilder&) = delete;

  // The list of the ids of text `i`; null with an exception set. The texts
  // below `done` are done; the others may still be written by other threads.
  PyObject* operator()(size_t i, size_t done) {
    const std::span<const uint32_t> ids = texts_[i];
    // What the next lists need is asked for while this one is filled: the
    // ids two texts ahead (another thread wrote them, and they are in its
    // cache), and the table entries of the ids one text ahead.
    if (i + 2 < done) {
      const std::span<const uint32_t> later = texts_[i + 2];
      for (size_t k = 0; k < later.size(); k += 16) __builtin_prefetch(&later[k]);
    }
    if (i + 1 < done) {
      for (const uint32_t id : texts_[i + 1]) {
        if (id < SharedInts::kLimit) shared_.prefetch(id);
      }
    }
    return new_list(ids.size(), [&](size_t k) {
      const uint32_t id = ids[k];
      return id < SharedInts::kLimit ? shared_.take(id) : ints_.get(id);
    });
  }

 private:
  std::span<const std::span<const uint32_t>> texts_;
  SharedInts& shared_ = SharedInts::get();
  IntCache ints_;
};

// Builds the lists of the texts done (`done()` of them), in input order,
// until it has caught up with them, letting a thread that asks for the
// interpreter lock have it every few lists. False with an exception set when
// `make` fails or what ran while the lock was offered raised.
template <typename Done, typename Make>
bool build_done(ResultLists& lists, Done&& done, Make& make) {
  // A list takes about a quarter of a microsecond to build; offering the
  // lock, a fraction of that.
  constexpr size_t kBetweenOffers = 128;
  for (;;) {
    const size_t upto = done();
    if (lists.built() >= upto) return true;
    {
      GcPause pause;
      if (!lists.build(std::min(upto, lists.built() + kBetweenOffers), make)) return false;
    }
    if (!yield_interpreter_lock()) return false;
  }
}

// Runs the per-text work of a batch under `scheme` and builds its result
// list. `body(i, participant)` does the work of text i and returns a Status;
// `make(i, done)` then returns the new list of text i (or null with an
// exception set) with the interpreter lock held, and may release the text's
// work; the texts below `done` are done (see `ResultLists::build`).
// `body` runs on other threads without the interpreter lock when the scheme
// goes parallel, so it must not touch interpreter objects; `participants(n)`
// is called first with the number of participant indexes `body` receives.
// Returns the list, or null with an exception set: ValueError with the first
// error recorded, or the error raised while the lists were built. The lists
// built before a failure are released.
template <typename Participants, typename Body, typename Make>
PyObject* run_lists(size_t count, const BatchScheme& scheme, Participants&& participants,
                    Body&& body, Make& make) {
  ResultLists lists(count);
  const BatchRoad road = batch_road(count, scheme);
  if (road == BatchRoad::kEmpty) return PyList_New(0);
  Status done = Ok{};
  if (road != BatchRoad::kParallel) {
    participants(size_t{1});
    auto in_order = [&] {
      return run_in_order(count, road == BatchRoad::kSequentialUnlocked,
                          [&](size_t i) { return body(i, size_t{0}); });
    };
    if (road == BatchRoad::kSequentialUnlocked) {
      GilRelease unlocked;
      done = in_order();
    } else {
      done = in_order();
    }
    if (!done) return raise_core(done.error());
    GcPause pause;
    if (!lists.build(count, make)) return nullptr;
    return lists.finish();
  }
  bool built = true;
  {
    GilRelease unlocked;
    ParallelMap map(count);
    participants(map.participants());
    done = map.run(body, [&](MapProgress& progress) {
      GilSlice held(unlocked);
      built = build_done(
          lists, [&] { return progress.done(); }, make);
      return built ? lists.built() : ParallelMap::kStopMap;
    });
  }
  if (!built) return nullptr;
  if (!done) return raise_core(done.error());
  GcPause pause;
  return lists.finish();
}

// Runs `body(std::string_view text) -> Result<T>` (or `body(size_t index,
// std::string_view text)` when it takes the text's index) over the texts of
// `texts` under `scheme` and returns the list of `build(T&)`, or null with
// an exception set (ValueError for a refused batch or the reported failure).
// Each result is released as soon as its list exists, while its memory is
// still warm. See `run_lists` for the threads.
template <typename T, typename Body, typename Build>
PyObject* run_text_batch(PyObject* texts, const BatchScheme& scheme, Body&& body, Build&& build) {
  BorrowedBatch batch;
  if (Status read = extract_borrowed_strings(texts, batch); !read) return raise_core(read.error());
  const std::span<const std::string_view> views = batch.texts();
  std::vector<T> results(views.size());
  auto make = [&](size_t i, size_t) {
    PyObject* list = build(results[i]);
    results[i] = T{};
    return list;
  };
  return run_lists(
      views.size(), scheme, [](size_t) {},
      [&](size_t i, size_t) -> Status {
        Result<T> r = [&] {
          if constexpr (std::is_invocable_v<Body&, size_t, std::string_view>) {
            return body(i, views[i]);
          } else {
            return body(views[i]);
          }
        }();
        if (!r) return std::move(r).error();
        results[i] = std::move(r).value();
        return Ok{};
      },
      make);
}

// Runs `body(size_t index, std::string_view text, std::vector<uint32_t>& out)
// -> Status`, which appends a text's ids to `out`, over `texts` under `scheme`
// and returns the list of int lists, or null with an exception set. The same
// contract as `run_text_batch` otherwise; the ids of all texts are laid out
// in per-participant blocks and each list is built at its final size from
// them.
template <typename Body>
PyObject* run_id_batch(PyObject* texts, const BatchScheme& scheme, Body&& body) {
  BorrowedBatch batch;
  if (Status read = extract_borrowed_strings(texts, batch); !read) return raise_core(read.error());
  const std::span<const std::string_view> views = batch.texts();
  std::vector<std::span<const uint32_t>> ids(views.size());
  std::unique_ptr<IdBlocks[]> blocks;
  IdListBuilder make(ids);
  return run_lists(
      views.size(), scheme, [&](size_t n) { blocks = std::make_unique<IdBlocks[]>(n); },
      [&](size_t i, size_t participant) -> Status {
        IdBlocks& local = blocks[participant];
        std::vector<uint32_t>& scratch = local.scratch();
        scratch.clear();
        if (Status done = body(i, views[i], scratch); !done) return done;
        ids[i] = local.keep(scratch);
        return Ok{};
      },
      make);
}

}  // namespace brindlore::py
