// The worker pool and the batch scheme that every batch entry point runs on.
//
// The pool is one oneTBB arena for the process, created on the first parallel
// call and sized from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPU
// count (see `configured_pool_size`). The arena is sized; oneTBB's
// process-wide settings are left to the host.
//
// A map (`ParallelMap`) cuts its items into chunks of consecutive items,
// handed out in order from one counter. Helpers take chunks until none is
// left: tasks enqueued in the arena, at most one per thread it lends. The
// calling thread takes chunks like a helper, but never inside the pool: it
// stays free to tend, between its chunks, the results of the items done so
// far (the Python layer builds their result lists there, which needs the
// interpreter lock), and to be ended there by a forced unwind, which must not
// cross oneTBB's frames. A map whose helpers are all busy elsewhere runs on
// the calling thread alone, and a parallel call from inside a map's item
// (a nested call) is a map of its own whose helpers come from the same pool.
//
// Fork: oneTBB's threads do not survive fork() and cannot be restarted in the
// child, so a process forked after its parent started the oneTBB pool takes
// its helpers from a pool of plain threads of its own instead, made anew in
// each process that needs it; a child forked before the pool started creates
// a oneTBB pool as usual.
//
// Fork exclusion is per chunk, not per map: every chunk runs inside a
// ForkExcludedScope, and between two items it lets a pending fork pass
// (closing its scope and waiting until the fork is done). A fork therefore
// waits for the items in flight only, one per thread, and the maps go on
// after it with unchanged results; the sequential work that runs unlocked
// (`BatchScheme::guard_sequential`) does the same. The chunks of a map made
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
// and a guard held around the parallel part, which the Python layer uses to
// release the interpreter lock).
#pragma once

#include <tbb/task_arena.h>

#include <cstddef>
#include <cstdint>
#include <memory>
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

// The process-wide arena, created on first use with `configured_pool_size()`
// threads, at most as many as oneTBB lends one arena (the CPU count, unless
// the host raised oneTBB's process-wide limit). Thread-safe; never destroyed.
tbb::task_arena& worker_pool();

// False in a process forked after its parent started the oneTBB pool (whose
// threads the fork left behind); maps then take their helpers from the
// process's own threads.
bool pool_usable() noexcept;

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
}
class MapProgress;

// Where a map's helpers come from: the oneTBB pool while this process may use
// it, else the process's own threads; or the own threads in any case.
enum class MapHelpers { kPool, kOwnThreads };

// One map of `count` items over helper threads and the calling thread (see
// the top of this file). Made, run once and destroyed on one thread.
//
// `body(i, participant)` returns a Status; `participant` tells apart the
// threads that take part at once (0 is the calling thread, the helpers are
// 1..participants()-1), so that the body can keep per-thread storage in an
// array without locks. `body` must be safe to call concurrently for
// different items.
//
// `tend(progress)` runs on the calling thread between its chunks, outside any
// ForkExcludedScope and outside the pool, so it may wait for locks that a
// forking thread holds: `progress.done()` is the number of leading items
// whose body has returned, their writes visible to the calling thread. It
// returns how many leading items it has finished with (more than before), or
// `kStopMap` to end the map, which then stops like after a failure. While
// chunks are left it is called once a share of the items is done that it was
// not yet told of (so that it is not called for a few items at a time), and
// after the last chunk until it has finished with every item.
class ParallelMap {
 public:
  static constexpr size_t kStopMap = SIZE_MAX;

  // Chooses the helpers and the chunks. Thread-safe.
  explicit ParallelMap(size_t count, MapHelpers helpers = MapHelpers::kPool);
  // Stops a map that a forced unwind ended and waits for its helpers to
  // leave, so that none touches the caller's frames after it.
  ~ParallelMap();
  ParallelMap(const ParallelMap&) = delete;
  ParallelMap& operator=(const ParallelMap&) = delete;

  // The participant indexes `body` receives are below this.
  size_t participants() const noexcept;

  // Runs the map; returns the error kept or Ok (also when `tend` stopped it).
  // An exception thrown by `body` on a helper is rethrown here once every
  // helper has left.
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

  size_t count_;
  MapHelpers from_;
  bool nested_;
  size_t helpers_;
  std::shared_ptr<detail::MapRun> run_;
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
Result<std::vector<T>> parallel_map(size_t count, Body&& body,
                                    MapHelpers helpers = MapHelpers::kPool) {
  std::vector<T> results(count);
  ParallelMap map(count, helpers);
  Status done = map.run([&](size_t i, size_t) -> Status {
    Result<T> r = body(i);
    if (!r) return std::move(r).error();
    results[i] = std::move(r).value();
    return Ok{};
  });
  if (!done) return std::move(done).error();
  return results;
}

// Maps `body(i)` over 0..count-1 in order on the calling thread; the first
// failure ends the map and is returned.
template <typename T, typename Body>
Result<std::vector<T>> sequential_map(size_t count, Body&& body) {
  std::vector<T> results;
  results.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    Result<T> r = body(i);
    if (!r) return std::move(r).error();
    results.push_back(std::move(r).value());
  }
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

// A guard that does nothing (for callers with no lock to release).
struct NoGuard {};

// Runs one batch of `count` items under `scheme`. `Guard` is constructed
// around the work that `scheme` says runs unlocked (the parallel part, and the
// sequential part with `guard_sequential`), and destroyed before this returns.
template <typename T, typename Guard = NoGuard, typename Body>
Result<std::vector<T>> run_batch(size_t count, const BatchScheme& scheme, Body&& body) {
  if (count == 0 && scheme.empty_returns_early) return std::vector<T>{};
  if (count >= scheme.parallel_from) {
    [[maybe_unused]] Guard unlocked;
    return parallel_map<T>(count, body);
  }
  if (scheme.guard_sequential) {
    [[maybe_unused]] Guard unlocked;
    ForkExcludedScope no_fork;
    return sequential_map<T>(count, [&](size_t i) {
      no_fork.let_fork_pass();
      return body(i);
    });
  }
  return sequential_map<T>(count, body);
}

}  // namespace brindlore
