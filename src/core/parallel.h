// The worker pool and the batch scheme that every batch entry point runs on.
//
// The pool is one oneTBB arena for the process, created on the first parallel
// call and sized from RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS, else the CPU
// count (see `configured_pool_size`). A parallel call made from inside a
// worker runs in that worker's own arena instead. The arena is sized; oneTBB's
// process-wide settings are left to the host.
//
// Fork: oneTBB's threads do not survive fork() and cannot be restarted in the
// child, so a process forked after its parent started the oneTBB pool maps on
// a pool of plain threads of its own instead (`run_on_own_threads`), made anew
// in each process that needs it; a child forked before the pool started
// creates a oneTBB pool as usual.
//
// Fork exclusion is per chunk, not per batch: every chunk a worker takes runs
// inside a ForkExcludedScope, and between two items the worker lets a pending
// fork pass (closing its scope and waiting until the fork is done). A fork
// therefore waits for the items in flight only, one per worker, and the
// batches go on after it with unchanged results; the sequential work that
// runs unlocked (`BatchScheme::guard_sequential`) does the same. The chunks
// of a parallel call made from inside a scope (a nested call) neither count
// nor wait: the scope that covers the call already holds the fork back, and a
// chunk that waited for the fork would keep that scope from ever closing.
// Workers hold no lock between items that the fork or the items in flight
// could wait for, so those that wait for the fork hold nothing it needs.
//
// `parallel_map` maps a body over indices on the pool: after the first failure
// no new item is started, the error kept is the first that wins a try-lock of
// the error slot, and results come back in input order. `run_batch` adds the
// rest of the scheme (the early return of an empty batch, the switch between
// sequential and parallel work, and a guard held around the parallel part,
// which the Python layer uses to release the interpreter lock).
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
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

// The process-wide arena, created on first use with `configured_pool_size()`
// threads, at most as many as oneTBB lends one arena (the CPU count, unless
// the host raised oneTBB's process-wide limit). Thread-safe; never destroyed.
tbb::task_arena& worker_pool();

// False in a process forked after its parent started the oneTBB pool (whose
// threads the fork left behind); parallel maps then use `run_on_own_threads`.
bool pool_usable() noexcept;

// Calls `run(context, begin, end)` over consecutive chunks of 0..count-1 on a
// pool of plain threads made by this process (sized like the oneTBB pool),
// the calling thread included, and returns when all are done. When the pool
// is busy with another call (or this is a call from inside one), the calling
// thread runs every chunk itself. Thread-safe.
void run_on_own_threads(size_t count, void (*run)(void*, size_t, size_t), void* context);

template <typename F>
void run_on_own_threads(size_t count, F& range) {
  run_on_own_threads(
      count, [](void* f, size_t begin, size_t end) { (*static_cast<F*>(f))(begin, end); }, &range);
}

// True while the calling thread runs work of the pool (the caller of a
// parallel call included).
bool on_worker_thread() noexcept;

// Marks the calling thread as running pool work for a scope.
class PoolWorkScope {
 public:
  PoolWorkScope() noexcept;
  ~PoolWorkScope();
  PoolWorkScope(const PoolWorkScope&) = delete;
  PoolWorkScope& operator=(const PoolWorkScope&) = delete;
};

// Runs `work` in the pool: directly when already running pool work (so nested
// calls stay in the current arena), else inside the process-wide arena.
// Blocks until done.
template <typename F>
void run_in_pool(F&& work) {
  if (on_worker_thread()) {
    work();
  } else {
    worker_pool().execute([&] {
      PoolWorkScope scope;
      work();
    });
  }
}

// Maps `body(i)` (returning Result<T>) over 0..count-1 on the pool. Once an
// item fails, items not yet started are skipped; the failing worker stores its
// error only if it wins a try-lock of the slot and the slot is empty. `body`
// must be safe to call concurrently. T must be default-constructible.
template <typename T, typename Body>
Result<std::vector<T>> parallel_map(size_t count, Body&& body) {
  std::vector<T> results(count);
  std::atomic<bool> stop{false};
  std::mutex slot_lock;
  std::optional<CoreError> slot;
  const bool nested = inside_fork_excluded_scope();
  auto map_range = [&](size_t begin, size_t end) {
    PoolWorkScope scope;
    ForkExcludedScope no_fork(nested);
    for (size_t i = begin; i != end; ++i) {
      no_fork.let_fork_pass();
      if (stop.load(std::memory_order_relaxed)) return;
      Result<T> r = body(i);
      if (r) {
        results[i] = std::move(r).value();
        continue;
      }
      stop.store(true, std::memory_order_relaxed);
      std::unique_lock<std::mutex> held(slot_lock, std::try_to_lock);
      if (held.owns_lock() && !slot) slot = std::move(r).error();
      return;
    }
  };
  if (pool_usable()) {
    run_in_pool([&] {
      tbb::parallel_for(
          tbb::blocked_range<size_t>(0, count, 1),
          [&](const tbb::blocked_range<size_t>& range) { map_range(range.begin(), range.end()); });
    });
  } else {
    run_on_own_threads(count, map_range);
  }
  if (slot) return std::move(*slot);
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
