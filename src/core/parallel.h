// The worker pool and the batch scheme that every batch entry point runs on.
//
// The pool is a set of plain threads of the process, started by the first
// parallel call: `configured_pool_size()` threads in all, the calling thread
// of a map counted among them, at most the CPU count. A thread that cannot be
// started (a limit on threads or on the address space) is no failure of the
// work: the maps run on the threads that did start, the calling thread at
// least, and the next map tries to start the missing ones again.
//
// A map (`ParallelMap`) cuts its items into chunks of consecutive items,
// handed out in order from one counter. It is offered to the pool, whose idle
// threads join it as helpers (at most one per thread the pool has beyond the
// calling thread's place) and take chunks until none is left; the maps of
// several callers share the threads. The calling thread takes chunks like a
// helper and, between them, tends the results of the items done so far (the
// Python layer builds their result lists there, which needs the interpreter
// lock). A map returns, by value or by exception, only once no helper is
// inside it any more, so nothing of the caller's frames is touched after it.
// A parallel call from inside a map's item (a nested call) is a map of its
// own whose helpers come from the same pool.
//
// Fork: threads do not survive fork(), so each process makes a pool of its
// own when it first needs one. Code that tending runs on the calling thread
// (a Python signal handler) may fork: in the child, that thread finds its
// helpers gone and finishes the map alone, running again the chunks they had
// taken and not finished. An item's result does not depend on the thread
// that computes it, so the child's result is the parent's.
//
// Fork exclusion is per chunk, not per map: every chunk runs inside a
// ForkExcludedScope, and between two items it lets a pending fork pass
// (closing its scope and waiting until the fork is done). A fork therefore
// waits for the items in flight only, one per thread, and the maps go on
// after it with unchanged results; the sequential work that runs unlocked
// (`BatchRoad::kSequentialUnlocked`) does the same. The chunks of a map made
// from inside a scope (a nested call) neither count nor wait: the scope that
// covers the call already holds the fork back, and a chunk that waited for
// the fork would keep that scope from ever closing. Threads hold no lock
// between items that the fork or the items in flight could wait for, and the
// calling thread tends outside any scope, so those that wait for the fork (or
// for the interpreter lock that the forking thread holds) hold nothing it
// needs.
//
// After the first failure no new item is started; the error kept is the
// first that wins a try-lock of the error slot. `parallel_map` collects the
// results in input order; `run_batch` adds the rest of the scheme (the early
// return of an empty batch, the switch between sequential and parallel work,
// and a guard held around the work that runs unlocked, which the Python layer
// uses to release the interpreter lock). `batch_road` is the one reading of a
// scheme that both follow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/fork_guard.h"

namespace brindlore {

// The pool size the environment asks for, with the variables read as rayon,
// whose variables they are, reads them: RAYON_NUM_THREADS if it holds an
// unsigned decimal integer (an optional leading '+'; 0 means the CPU count,
// without looking further), else RAYON_RS_NUM_CPUS if it holds a positive
// one, else the CPU count. Thread-safe; reads the environment on every call.
size_t configured_pool_size();

// True while the calling thread runs items of a map.
bool on_worker_thread() noexcept;

// Marks the calling thread as running items of a map for a scope.
class PoolWorkScope {
 public:
  PoolWorkScope() noexcept;
  ~PoolWorkScope();
  PoolWorkScope(const PoolWorkScope&) = delete;
  PoolWorkScope& operator=(const PoolWorkScope&) = delete;
};

namespace detail {
class MapRun;
class HelperThreads;
}  // namespace detail
class MapProgress;

// One map of `count` items over helper threads and the calling thread (see
// the top of this file). Made, run once and destroyed on one thread.
//
// `body(i, participant)` returns a Status; `participant` tells apart the
// threads that take part at once (0 is the calling thread, the helpers are
// 1..participants()-1), so that the body can keep per-thread storage in an
// array without locks. `body` must be safe to call concurrently for
// different items.
//
// An exception thrown by `body` (on any thread) stops the map like a failure
// and is rethrown by `run` once every helper has left; so is one thrown by
// `tend`.
//
// `tend(progress)` runs on the calling thread between its chunks, outside any
// ForkExcludedScope, so it may wait for locks that a forking thread holds, and
// it may fork (see the top of this file): `progress.done()` is the number of
// leading items whose body has returned, their writes visible to the calling
// thread. It returns how many leading items it has finished with (more than
// before), or `kStopMap` to end the map, which then stops like after a
// failure. While chunks are left it is called once a share of the items is
// done that it was not yet told of (so that it is not called for a few items
// at a time), and after the last chunk until it has finished with every item.
class ParallelMap {
 public:
  static constexpr size_t kStopMap = SIZE_MAX;

  // Chooses the number of helpers; starts the pool on first use.
  explicit ParallelMap(size_t count);
  ParallelMap(const ParallelMap&) = delete;
  ParallelMap& operator=(const ParallelMap&) = delete;

  // The participant indexes `body` receives are below this.
  size_t participants() const noexcept;

  // Runs the map; returns the error kept or Ok (also when `tend` stopped it),
  // or rethrows the first exception `body` or `tend` threw.
  template <typename Body>
  Status run(Body&& body) {
    return run_erased(item_of<Body>(), &body, nullptr, nullptr);
  }
  template <typename Body, typename Tend>
  Status run(Body&& body, Tend&& tend) {
    using T = std::remove_reference_t<Tend>;
    return run_erased(
        item_of<Body>(), &body,
        [](void* t, MapProgress& progress) -> size_t { return (*static_cast<T*>(t))(progress); },
        &tend);
  }

 private:
  using Item = Status (*)(void*, size_t, size_t);
  using TendFn = size_t (*)(void*, MapProgress&);

  template <typename Body>
  static Item item_of() {
    using B = std::remove_reference_t<Body>;
    return [](void* b, size_t i, size_t participant) -> Status {
      return (*static_cast<B*>(b))(i, participant);
    };
  }
  Status run_erased(Item item, void* body, TendFn tend, void* tend_context);
  void drive(detail::MapRun& run, TendFn tend, void* tend_context);
  void adopt_if_forked(detail::MapRun& run) noexcept;
  void end(detail::MapRun& run) noexcept;

  size_t count_;
  bool nested_;
  detail::HelperThreads* pool_;  // null once the process is a child of the one that offered to it
  size_t helpers_;
};

// The items of a map that are done, as its calling thread sees them.
class MapProgress {
 public:
  explicit MapProgress(detail::MapRun& run) noexcept : run_(run) {}
  // The number of leading items whose body has returned.
  size_t done() noexcept;

 private:
  detail::MapRun& run_;
};

// Maps `body(i)` (returning Result<T>) over 0..count-1 on the pool and the
// calling thread and returns the results in input order. Once an item fails,
// items not yet started are skipped; the failing thread stores its error only
// if it wins a try-lock of the slot and the slot is empty. `body` must be
// safe to call concurrently. T must be default-constructible.
template <typename T, typename Body>
Result<std::vector<T>> parallel_map(size_t count, Body&& body) {
  std::vector<T> results(count);
  ParallelMap map(count);
  Status done = map.run([&](size_t i, size_t) -> Status {
    Result<T> r = body(i);
    if (!r) return std::move(r).error();
    results[i] = std::move(r).value();
    return Ok{};
  });
  if (!done) return std::move(done).error();
  return results;
}

// Runs `body(i)` (returning Status) for i in 0..count-1 in order on the
// calling thread; the first failure ends the run and is returned. With
// `fork_excluded` the run is work that a fork waits for (it runs without the
// interpreter lock), letting a pending fork pass between two items.
template <typename Body>
Status run_in_order(size_t count, bool fork_excluded, Body&& body) {
  std::optional<ForkExcludedScope> no_fork;
  if (fork_excluded) no_fork.emplace();
  for (size_t i = 0; i < count; ++i) {
    if (no_fork) no_fork->let_fork_pass();
    if (Status done = body(i); !done) return done;
  }
  return Ok{};
}

// Maps `body(i)` over 0..count-1 in order on the calling thread (see
// `run_in_order`); the first failure ends the map and is returned.
template <typename T, typename Body>
Result<std::vector<T>> sequential_map(size_t count, Body&& body, bool fork_excluded = false) {
  std::vector<T> results;
  results.reserve(count);
  Status done = run_in_order(count, fork_excluded, [&](size_t i) -> Status {
    Result<T> r = body(i);
    if (!r) return std::move(r).error();
    results.push_back(std::move(r).value());
    return Ok{};
  });
  if (!done) return std::move(done).error();
  return results;
}

// The options of the batch scheme that differ between entry points.
struct BatchScheme {
  // Batches of at least this many items run on the pool; 0 means always,
  // SIZE_MAX never.
  size_t parallel_from = 32;
  // An empty batch returns at once, without the guard and without the pool.
  bool empty_returns_early = true;
  // Hold the guard around sequential work too.
  bool guard_sequential = false;
};

// How a batch runs: returns at once (empty), in order on the calling thread
// with the interpreter lock held or released, or on the pool.
enum class BatchRoad { kEmpty, kSequential, kSequentialUnlocked, kParallel };

// The road a batch of `count` items takes under `scheme`: the one reading of
// a scheme, which every runner of batches follows.
constexpr BatchRoad batch_road(size_t count, const BatchScheme& scheme) noexcept {
  if (count == 0 && scheme.empty_returns_early) return BatchRoad::kEmpty;
  if (count >= scheme.parallel_from) return BatchRoad::kParallel;
  return scheme.guard_sequential ? BatchRoad::kSequentialUnlocked : BatchRoad::kSequential;
}

// A guard that does nothing (for callers with no lock to release).
struct NoGuard {};

// Runs one batch of `count` items on the road `batch_road` gives. `Guard` is
// constructed around the work that runs unlocked (the parallel road and the
// unlocked sequential one), and destroyed before this returns.
template <typename T, typename Guard = NoGuard, typename Body>
Result<std::vector<T>> run_batch(size_t count, const BatchScheme& scheme, Body&& body) {
  switch (batch_road(count, scheme)) {
    case BatchRoad::kEmpty:
      return std::vector<T>{};
    case BatchRoad::kSequential:
      return sequential_map<T>(count, body);
    case BatchRoad::kSequentialUnlocked: {
      [[maybe_unused]] Guard unlocked;
      return sequential_map<T>(count, body, true);
    }
    case BatchRoad::kParallel:
      break;
  }
  [[maybe_unused]] Guard unlocked;
  return parallel_map<T>(count, body);
}

}  // namespace brindlore
