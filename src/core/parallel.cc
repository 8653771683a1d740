#include "core/parallel.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "core/thread_locals.h"

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

}  // namespace

size_t configured_pool_size() {
  if (auto n = unsigned_count(std::getenv("RAYON_NUM_THREADS"))) return *n > 0 ? *n : cpu_count();
  if (auto n = unsigned_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return cpu_count();
}

namespace detail {

// The state of one map that its helpers share with the calling thread. The
// helpers hold it by a shared pointer: a thread of the pool may take a map off
// the offered list just before its calling thread withdraws it, and must then
// find the map closed instead of freed memory.
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
        generation_(fork_generation()),
        chunk_done_(std::make_unique<std::atomic<bool>[]>(chunks_)) {}

  size_t grain() const noexcept { return grain_; }

  // The participant index of a helper that joins, or 0 when the map has as
  // many as it takes. Under the lock of the pool that offers it.
  size_t join() noexcept { return joined_ + 1 < participants_ ? ++joined_ : 0; }
  // True when a helper joining now would find work: helpers may still join
  // and chunks are left. Under the lock of the pool that offers it.
  bool wants_help() const noexcept { return joined_ + 1 < participants_ && chunks_left_to_take(); }

  // A helper's part, as `participant` (from `join`): runs chunks until none
  // is left, unless the map is closed.
  void help(size_t participant) noexcept {
    active_.fetch_add(1);
    if (!closed_.load()) {
      while (run_chunk(participant)) {
      }
    }
    if (active_.fetch_sub(1) == 1) active_.notify_all();
  }

  // Takes the next chunk and runs it as `participant`; false when none is
  // left or the map has stopped. A failure or an exception of an item stops
  // the map and is kept, both inside the chunk's scope, so that no fork finds
  // the error slot locked.
  bool run_chunk(size_t participant) noexcept {
    if (stopped()) return false;
    const size_t chunk = take_chunk();
    if (chunk >= chunks_) return false;
    const size_t begin = chunk * grain_;
    const size_t end = std::min(count_, begin + grain_);
    size_t i = begin;
    {
      PoolWorkScope work;
      ForkExcludedScope no_fork(nested_);
      try {
        for (; i != end; ++i) {
          no_fork.let_fork_pass();
          if (stopped()) break;
          Status done = item_(context_, i, participant);
          if (!done) {
            fail(std::move(done).error());
            break;
          }
        }
      } catch (...) {
        keep_failure(std::current_exception());
      }
    }
    if (i == end) chunk_done_[chunk].store(true, std::memory_order_release);
    completions_.fetch_add(1, std::memory_order_release);
    completions_.notify_all();
    return i == end;
  }

  // True while a chunk is left to take; for the calling thread.
  bool chunks_left() noexcept { return !stopped() && chunks_left_to_take(); }

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
  void fail(CoreError error) noexcept {
    {
      std::unique_lock<std::mutex> held(slot_lock_, std::try_to_lock);
      if (held.owns_lock() && !slot_) slot_ = std::move(error);
    }
    stop();
  }

  // Keeps the first exception, and stops the map.
  void keep_failure(std::exception_ptr failure) noexcept {
    {
      std::lock_guard<std::mutex> held(slot_lock_);
      if (!failure_) failure_ = std::move(failure);
    }
    stop();
  }

  // True in a process forked from the one that made the map, where its
  // helpers do not exist (only the forking thread survives a fork).
  bool orphaned() const noexcept { return generation_ != fork_generation(); }

  // Makes the map the calling thread's alone, in a child (see `orphaned`):
  // no helper is inside any more, and every chunk not done, taken by a
  // helper or not, is the calling thread's to run. Nothing else touches the
  // map here. The error slot is not held by a vanished helper: it is taken
  // inside chunk scopes only, which no fork interrupts.
  void adopt() noexcept {
    generation_ = fork_generation();
    adopted_ = true;
    redo_ = cursor_;
    closed_.store(true);
    active_.store(0);
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
  // The next chunk to run: from the shared counter, or, once adopted, the
  // next one not done.
  size_t take_chunk() noexcept {
    if (!adopted_) return next_.fetch_add(1, std::memory_order_relaxed);
    while (redo_ < chunks_ && chunk_done_[redo_].load(std::memory_order_relaxed)) ++redo_;
    return redo_ < chunks_ ? redo_++ : chunks_;
  }

  bool chunks_left_to_take() const noexcept {
    if (!adopted_) return next_.load(std::memory_order_relaxed) < chunks_;
    for (size_t c = redo_; c < chunks_; ++c) {
      if (!chunk_done_[c].load(std::memory_order_relaxed)) return true;
    }
    return false;
  }

  const size_t count_;
  const size_t grain_;
  const size_t chunks_;
  const size_t participants_;
  const Item item_;
  void* const context_;
  const bool nested_;
  uint64_t generation_;  // the calling thread's
  bool adopted_ = false;  // written in a child only, where no helper exists
  size_t redo_ = 0;       // once adopted: the chunks before it are done
  std::unique_ptr<std::atomic<bool>[]> chunk_done_;
  size_t cursor_ = 0;  // chunks known done, leading; the calling thread's
  size_t joined_ = 0;  // helpers that joined; under the offering pool's lock
  alignas(64) std::atomic<size_t> next_{0};
  // Counters that threads wait on are 32 bits wide, the futex's own width.
  alignas(64) std::atomic<uint32_t> completions_{0};
  std::atomic<bool> stop_{false};
  alignas(64) std::atomic<uint32_t> active_{0};
  std::atomic<bool> closed_{false};
  std::mutex slot_lock_;
  std::optional<CoreError> slot_;  // under slot_lock_
  std::exception_ptr failure_;     // under slot_lock_
};

// Spins for a moment, as a waiting thread does between two looks.
inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// A lock held for a few instructions at a time by threads that would rather
// spin than sleep: the pool's threads take a map from the offered list with
// it, all at once when a map is offered.
class SpinLock {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire)) {
      for (int spin = 0; held_.load(std::memory_order_relaxed); ++spin) {
        if (spin < 256) {
          pause();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> held_{false};
};

// The pool of one process: plain threads, started when a map is offered
// while fewer than `target` run, as many as the system lets start. The
// threads take offered maps from a list under a spin lock and join the
// newest that wants help (a nested map is newer than the map whose item
// waits for it). A thread out of work watches the list for a few tens of
// microseconds before it sleeps: batches often follow one another, and
// waking a sleeping thread costs about as long as a small batch takes.
// Detached and never destroyed: like the process's other threads, they may
// be waiting here when it exits.
class HelperThreads {
 public:
  explicit HelperThreads(size_t target) : target_(target) {}

  size_t target() const noexcept { return target_; }

  // Offers `run` to the pool's threads, waking up to `helpers` of those that
  // sleep. A map that no thread joins (none could be started, or all are
  // busy) runs on its calling thread alone.
  void offer(const std::shared_ptr<MapRun>& run, size_t helpers) noexcept {
    {
      std::unique_lock<std::mutex> held(mutex_);
      start_missing(held);
      if (ready_ == 0) return;
    }
    {
      std::lock_guard<SpinLock> listed(list_lock_);
      try {
        offered_.push_back(run);
      } catch (const std::bad_alloc&) {
        return;
      }
      offered_count_.store(offered_.size());
    }
    // A thread that is about to sleep counts itself before it looks at the
    // list a last time, both sequentially consistent: either it sees the map
    // or this sees it.
    if (sleeping_.load() == 0) return;
    std::lock_guard<std::mutex> held(mutex_);
    for (size_t h = helpers; h > 0; --h) wake_.notify_one();
  }

  // Takes `run` off the offered maps, if it is still there.
  void withdraw(const MapRun* run) noexcept {
    std::lock_guard<SpinLock> listed(list_lock_);
    std::erase_if(offered_, [run](const std::shared_ptr<MapRun>& o) { return o.get() == run; });
    offered_count_.store(offered_.size());
  }

 private:
  // Under mutex_. A thread that cannot start now may start for a later map.
  //
  // Each new thread is waited for until it has made its thread-local objects
  // (see `make_thread_locals`): while it does, the thread that offers the map
  // and the pool's other threads allocate nothing, so the memory it found is
  // still there when it needs it.
  void start_missing(std::unique_lock<std::mutex>& held) noexcept {
    while (ready_ + (launched_ - reported_) < target_) {
      const size_t failed = reported_ - ready_;
      try {
        std::thread([this] { serve(); }).detach();
      } catch (const std::system_error&) {
        return;
      } catch (const std::bad_alloc&) {
        return;
      }
      ++launched_;
      reported_cv_.wait(held, [&] { return reported_ == launched_; });
      if (reported_ - ready_ > failed) return;
    }
  }

  void serve() noexcept {
    const bool ready = make_thread_locals();
    {
      std::lock_guard<std::mutex> held(mutex_);
      ++reported_;
      ready_ += ready;
    }
    reported_cv_.notify_all();
    if (!ready) return;
    for (;;) {
      std::shared_ptr<MapRun> run;
      if (const size_t participant = take_offer(run)) {
        run->help(participant);
        continue;
      }
      if (watch_for_offers()) continue;
      std::unique_lock<std::mutex> held(mutex_);
      sleeping_.fetch_add(1);
      wake_.wait(held, [&] { return offered_count_.load() != 0; });
      sleeping_.fetch_sub(1);
    }
  }

  // Joins the newest offered map that takes a helper, into `run`; returns
  // the participant index, or 0 when no map takes one. Maps that take no
  // more helpers leave the list.
  size_t take_offer(std::shared_ptr<MapRun>& run) noexcept {
    std::lock_guard<SpinLock> listed(list_lock_);
    while (!offered_.empty()) {
      MapRun& newest = *offered_.back();
      const size_t participant = newest.join();
      if (participant != 0) run = offered_.back();
      if (!newest.wants_help()) {
        offered_.pop_back();
        offered_count_.store(offered_.size());
      }
      if (participant != 0) return participant;
    }
    return 0;
  }

  // True once a map is offered, false after the watch has lasted a while.
  bool watch_for_offers() const noexcept {
    for (int round = 0; round < kWatchRounds; ++round) {
      for (int spin = 0; spin < 64; ++spin) {
        if (offered_count_.load(std::memory_order_relaxed) != 0) return true;
        pause();
      }
      std::this_thread::yield();
    }
    return false;
  }

  // About 50 microseconds of watching on a current x86-64 core.
  static constexpr int kWatchRounds = 32;

  const size_t target_;
  SpinLock list_lock_;
  std::vector<std::shared_ptr<MapRun>> offered_;  // under list_lock_
  std::atomic<size_t> offered_count_{0};          // offered_.size(), written under list_lock_
  std::atomic<size_t> sleeping_{0};               // threads asleep or about to be
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable reported_cv_;
  // Under mutex_: the threads started, those of them that have told whether
  // they could make their thread-local objects, and those that could (the
  // pool's threads).
  size_t launched_ = 0;
  size_t reported_ = 0;
  size_t ready_ = 0;
};

}  // namespace detail

namespace {

using detail::HelperThreads;
using detail::MapRun;

// The pool of this process, made on first need (and anew in a child, whose
// parent's threads did not survive the fork; the parent's pool is left as
// it is, since a vanished thread may have held its lock). Made and found
// inside a ForkExcludedScope, so no fork finds the mutex held.
HelperThreads& helper_threads() {
  static std::mutex made_mutex;
  static HelperThreads* pool = nullptr;
  static uint64_t made_in = 0;
  ForkExcludedScope no_fork;
  std::lock_guard<std::mutex> held(made_mutex);
  if (!pool || made_in != fork_generation()) {
    pool = new HelperThreads(std::min(configured_pool_size(), cpu_count()) - 1);
    made_in = fork_generation();
  }
  return *pool;
}

}  // namespace

ParallelMap::ParallelMap(size_t count)
    : count_(count), nested_(inside_fork_excluded_scope()), pool_(&helper_threads()) {
  // One helper per thread the pool has beyond the calling thread's place,
  // none beyond the chunks there are to share.
  helpers_ = std::min(pool_->target(), count > 0 ? count - 1 : 0);
  if (!thread_locals_made()) throw std::bad_alloc();
}

size_t ParallelMap::participants() const noexcept { return helpers_ + 1; }

Status ParallelMap::run_erased(Item item, void* body, TendFn tend, void* tend_context) {
  const auto run = std::make_shared<MapRun>(count_, participants(), item, body, nested_);
  // There are at least as many chunks as participants (see the grain), so
  // every helper has one to take.
  if (helpers_ > 0) pool_->offer(run, helpers_);
  try {
    drive(*run, tend, tend_context);
  } catch (...) {
    run->stop();
    end(*run);
    throw;
  }
  end(*run);
  return run->outcome();
}

void ParallelMap::drive(MapRun& run, TendFn tend, void* tend_context) {
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
        adopt_if_forked(run);
        if (tended == kStopMap) {
          run.stop();
          return;
        }
        continue;
      }
    }
    const uint32_t seen = run.completions();
    if (run.run_chunk(0)) continue;
    if (run.stopped()) return;
    // The last chunks may have ended on helpers since tending last looked:
    // every item is tended before the map returns.
    if (run.done() == count_) {
      if (!tend || tended == count_) return;
      continue;
    }
    run.wait(seen);
  }
}

// Tending runs Python code, which may fork: in the child the helpers are
// gone, with the chunks they had taken, and so is the pool the map was
// offered to, whose lock a vanished thread may hold.
void ParallelMap::adopt_if_forked(MapRun& run) noexcept {
  if (!run.orphaned()) return;
  run.adopt();
  pool_ = nullptr;
}

void ParallelMap::end(MapRun& run) noexcept {
  adopt_if_forked(run);
  if (pool_) pool_->withdraw(&run);
  run.close();
}

size_t MapProgress::done() noexcept { return run_.done(); }

namespace {
// The maps mark the work of the threads that run their items.
thread_local int pool_work_depth = 0;
}  // namespace

bool on_worker_thread() noexcept { return pool_work_depth > 0; }

PoolWorkScope::PoolWorkScope() noexcept { ++pool_work_depth; }
PoolWorkScope::~PoolWorkScope() { --pool_work_depth; }

}  // namespace brindlore
