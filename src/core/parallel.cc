#include "core/parallel.h"

#include <tbb/info.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

namespace brindlore {
namespace {

// An unsigned decimal integer (an optional leading '+', then digits only,
// without overflow), or nothing.
std::optional<size_t> unsigned_count(const char* text) {
  if (!text) return std::nullopt;
  if (*text == '+') ++text;
  if (!*text) return std::nullopt;
  size_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

size_t cpu_count() {
  unsigned cpus = std::thread::hardware_concurrency();
  return cpus == 0 ? 1 : cpus;
}

constexpr uint64_t kNoPool = UINT64_MAX;
// The fork generation of the process that created the pool.
std::atomic<uint64_t> pool_generation{kNoPool};

}  // namespace

size_t configured_pool_size() {
  if (auto n = unsigned_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : cpu_count();
  if (auto n = unsigned_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return cpu_count();
}

tbb::task_arena& worker_pool() {
  // Constructed on first use (its threads start with its first task) and
  // never destroyed: daemon threads may still be inside it at exit. oneTBB
  // lends an arena at most as many threads as the machine has unless its
  // process-wide limit is raised, which is the host's to set, so a larger
  // size is capped there rather than asked for in vain. Found inside a scope,
  // so that no fork finds it half made (a child would wait for ever on the
  // unfinished initialization).
  ForkExcludedScope no_fork;
  static tbb::task_arena* arena = [] {
    pool_generation.store(fork_generation(), std::memory_order_relaxed);
    const auto cap = static_cast<size_t>(std::max(1, tbb::info::default_concurrency()));
    return new tbb::task_arena(static_cast<int>(std::min(configured_pool_size(), cap)));
  }();
  return *arena;
}

namespace detail {

// The state of one map that its helpers share with the calling thread. The
// helpers hold it by a shared pointer: a helper task may start long after
// the map has ended (the pool was busy elsewhere), and it must then find the
// map closed instead of freed memory.
//
// A helper counts itself in `active_` and then reads `closed_`; `close` sets
// `closed_` and then waits for `active_` to reach zero. Both sides write
// before they read, in one total order (sequentially consistent), so a
// helper that joins after `close` has looked sees the map closed and touches
// nothing of the caller's.
class MapRun {
 public:
  using Item = Status (*)(void*, size_t, size_t);

  MapRun(size_t count, size_t participants, Item item, void* context, bool nested)
      : count_(count),
        grain_(std::clamp<size_t>(count / (16 * participants), 1, 64)),
        chunks_((count + grain_ - 1) / grain_),
        participants_(participants),
        item_(item),
        context_(context),
        nested_(nested),
        chunk_done_(std::make_unique<std::atomic<bool>[]>(chunks_)) {}

  size_t chunks() const noexcept { return chunks_; }
  size_t grain() const noexcept { return grain_; }

  // A helper's part: joins unless the map is closed, runs chunks until none
  // is left, leaves. An exception ends the map and is kept for the caller.
  void help() noexcept {
    active_.fetch_add(1);
    if (!closed_.load()) {
      const size_t participant = 1 + joined_.fetch_add(1, std::memory_order_relaxed);
      if (participant < participants_) {
        try {
          while (run_chunk(participant)) {
          }
        } catch (...) {
          keep_failure(std::current_exception());
        }
      }
    }
    if (active_.fetch_sub(1) == 1) active_.notify_all();
  }

  // Takes the next chunk and runs it as `participant`; false when none is
  // left or the map has stopped.
  bool run_chunk(size_t participant) {
    if (stopped()) return false;
    const size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunks_) return false;
    const size_t begin = chunk * grain_;
    const size_t end = std::min(count_, begin + grain_);
    size_t i = begin;
    {
      PoolWorkScope work;
      ForkExcludedScope no_fork(nested_);
      for (; i != end; ++i) {
        no_fork.let_fork_pass();
        if (stopped()) break;
        Status done = item_(context_, i, participant);
        if (!done) {
          fail(std::move(done).error());
          break;
        }
      }
    }
    if (i == end) chunk_done_[chunk].store(true, std::memory_order_release);
    completions_.fetch_add(1, std::memory_order_release);
    completions_.notify_all();
    return i == end;
  }

  bool chunks_left() const noexcept {
    return next_.load(std::memory_order_relaxed) < chunks_ && !stopped();
  }

  // The leading items done; for the calling thread only.
  size_t done() noexcept {
    while (cursor_ < chunks_ && chunk_done_[cursor_].load(std::memory_order_acquire)) ++cursor_;
    return std::min(count_, cursor_ * grain_);
  }

  uint32_t completions() const noexcept { return completions_.load(std::memory_order_acquire); }

  // Blocks until a chunk ends after `completions()` returned `seen`.
  void wait(uint32_t seen) const noexcept { completions_.wait(seen, std::memory_order_acquire); }

  bool stopped() const noexcept { return stop_.load(std::memory_order_relaxed); }
  void stop() noexcept {
    stop_.store(true, std::memory_order_relaxed);
    completions_.fetch_add(1, std::memory_order_release);
    completions_.notify_all();
  }

  // Keeps `error` if it wins the slot, and stops the map.
  void fail(CoreError error) {
    {
      std::unique_lock<std::mutex> held(slot_lock_, std::try_to_lock);
      if (held.owns_lock() && !slot_) slot_ = std::move(error);
    }
    stop();
  }

  // Lets no helper join from now on and waits until those inside have left.
  void close() noexcept {
    stop_.store(true, std::memory_order_relaxed);
    closed_.store(true);
    for (uint32_t inside; (inside = active_.load()) != 0;) active_.wait(inside);
  }

  // After `close`: the exception or the error kept, or Ok.
  Status outcome() {
    if (failure_) std::rethrow_exception(failure_);
    if (slot_) return std::move(*slot_);
    return Ok{};
  }

 private:
  void keep_failure(std::exception_ptr failure) noexcept {
    {
      std::lock_guard<std::mutex> held(slot_lock_);
      if (!failure_) failure_ = std::move(failure);
    }
    stop();
  }

  const size_t count_;
  const size_t grain_;
  const size_t chunks_;
  const size_t participants_;
  const Item item_;
  void* const context_;
  const bool nested_;
  std::unique_ptr<std::atomic<bool>[]> chunk_done_;
  size_t cursor_ = 0;  // chunks known done, leading; the calling thread's
  alignas(64) std::atomic<size_t> next_{0};
  // Counters that threads wait on are 32 bits wide, the futex's own width.
  alignas(64) std::atomic<uint32_t> completions_{0};
  std::atomic<bool> stop_{false};
  alignas(64) std::atomic<uint32_t> active_{0};
  std::atomic<bool> closed_{false};
  std::atomic<size_t> joined_{0};
  std::mutex slot_lock_;
  std::optional<CoreError> slot_;  // under slot_lock_
  std::exception_ptr failure_;     // under slot_lock_
};

}  // namespace detail

namespace {

using detail::MapRun;

// A pool of plain threads for a process that cannot use oneTBB's (see the
// header). One map at a time is on offer; each thread joins it at most once.
// A map offered while another is on offer runs on its calling thread alone.
class OwnThreads {
 public:
  explicit OwnThreads(size_t workers) : workers_(workers) {
    // The threads are detached and the pool never destroyed: like oneTBB's,
    // they may be waiting here when the process exits.
    for (size_t i = 0; i < workers; ++i) std::thread([this] { serve(); }).detach();
  }

  size_t workers() const noexcept { return workers_; }

  bool offer(const std::shared_ptr<MapRun>& run) {
    {
      std::lock_guard<std::mutex> held(mutex_);
      if (offered_) return false;
      offered_ = run;
      ++offers_;
    }
    wake_.notify_all();
    return true;
  }

  void withdraw(const MapRun* run) {
    std::lock_guard<std::mutex> held(mutex_);
    if (offered_.get() == run) offered_.reset();
  }

 private:
  void serve() {
    uint64_t joined = 0;
    std::unique_lock<std::mutex> held(mutex_);
    for (;;) {
      wake_.wait(held, [&] { return offered_ && offers_ != joined; });
      joined = offers_;
      std::shared_ptr<MapRun> run = offered_;
      held.unlock();
      run->help();
      run.reset();
      held.lock();
    }
  }

  const size_t workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::shared_ptr<MapRun> offered_;  // under mutex_
  uint64_t offers_ = 0;              // under mutex_
};

// The own threads of this process, made on first need. Made and found inside
// a ForkExcludedScope, so no fork finds the mutex held.
OwnThreads& own_threads() {
  static std::mutex made_mutex;
  static OwnThreads* pool = nullptr;
  static uint64_t made_in = 0;
  ForkExcludedScope no_fork;
  std::lock_guard<std::mutex> held(made_mutex);
  if (!pool || made_in != fork_generation()) {
    // Sized like the oneTBB pool, without asking oneTBB, whose state the fork
    // left inconsistent.
    pool = new OwnThreads(std::min(configured_pool_size(), cpu_count()) - 1);
    made_in = fork_generation();
  }
  return *pool;
}

}  // namespace

ParallelMap::ParallelMap(size_t count, MapHelpers helpers)
    : count_(count),
      from_(helpers == MapHelpers::kPool && !pool_usable() ? MapHelpers::kOwnThreads : helpers),
      nested_(inside_fork_excluded_scope()) {
  // One helper per thread the pool lends beyond the calling thread's place
  // (which it never takes), none beyond the chunks there are to share.
  const size_t lent = from_ == MapHelpers::kPool
                          ? static_cast<size_t>(std::max(1, worker_pool().max_concurrency())) - 1
                          : own_threads().workers();
  helpers_ = std::min(lent, count > 0 ? count - 1 : 0);
}

ParallelMap::~ParallelMap() {
  if (!run_) return;
  if (from_ == MapHelpers::kOwnThreads) own_threads().withdraw(run_.get());
  run_->close();
}

size_t ParallelMap::participants() const noexcept { return helpers_ + 1; }

Status ParallelMap::run_erased(Item item, void* body, TendFn tend, void* tend_context) {
  run_ = std::make_shared<MapRun>(count_, participants(), item, body, nested_);
  MapRun& run = *run_;
  // There are at least as many chunks as participants (see the grain), so
  // every helper has one to take.
  if (helpers_ > 0) {
    ForkExcludedScope no_fork(nested_);
    if (from_ == MapHelpers::kPool) {
      tbb::task_arena& pool = worker_pool();
      for (size_t h = 0; h < helpers_; ++h) pool.enqueue([shared = run_] { shared->help(); });
    } else {
      own_threads().offer(run_);
    }
  }
  // While chunks are left, tending waits until a share of the items worth one
  // chunk per thread is done, so that the calling thread does not stop for a
  // few items at a time; then it tends whatever is done.
  MapProgress progress(run);
  const size_t at_once = std::max(run.grain() * participants(), count_ / 16);
  size_t tended = 0;
  for (;;) {
    if (tend) {
      const size_t done = run.done();
      if (done > tended && (done - tended >= at_once || !run.chunks_left())) {
        tended = tend(tend_context, progress);
        if (tended == kStopMap) {
          run.stop();
          break;
        }
        continue;
      }
    }
    const uint32_t seen = run.completions();
    if (run.run_chunk(0)) continue;
    if (run.stopped()) break;
    // The last chunks may have ended on helpers since tending last looked:
    // every item is tended before the map returns.
    if (run.done() == count_) {
      if (!tend || tended == count_) break;
      continue;
    }
    run.wait(seen);
  }
  // Ended here, so that the destructor only ends a map a forced unwind left.
  const std::shared_ptr<MapRun> ended = std::move(run_);
  if (from_ == MapHelpers::kOwnThreads) own_threads().withdraw(ended.get());
  ended->close();
  return ended->outcome();
}

size_t MapProgress::done() noexcept { return run_.done(); }

bool pool_usable() noexcept {
  const uint64_t created = pool_generation.load(std::memory_order_relaxed);
  return created == kNoPool || created == fork_generation();
}

namespace {
// A thread that runs items of a map may be in no arena at all (the calling
// thread, the own threads), so the maps mark their work themselves.
thread_local int pool_work_depth = 0;
}  // namespace

bool on_worker_thread() noexcept { return pool_work_depth > 0; }

PoolWorkScope::PoolWorkScope() noexcept { ++pool_work_depth; }
PoolWorkScope::~PoolWorkScope() { --pool_work_depth; }

}  // namespace brindlore
