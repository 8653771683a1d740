#include "core/parallel.h"

#include <tbb/info.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
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

namespace {

// A pool of plain threads for a process that cannot use oneTBB's (see the
// header). One call at a time: its chunks are handed out through an atomic
// counter to the workers and the caller; a worker joins a call at most once.
class OwnThreads {
 public:
  using Run = void (*)(void*, size_t, size_t);

  explicit OwnThreads(size_t workers) : workers_(workers) {
    // The threads are detached and the pool never destroyed: like oneTBB's,
    // they may be waiting here when the process exits.
    for (size_t i = 0; i < workers; ++i) std::thread([this] { serve(); }).detach();
  }

  void run(size_t count, Run fn, void* context) {
    std::unique_lock<std::mutex> one_call(call_mutex_, std::try_to_lock);
    if (!one_call.owns_lock()) return fn(context, 0, count);
    Call call(fn, context, count, std::max<size_t>(1, count / (8 * (workers_ + 1))));
    {
      std::lock_guard<std::mutex> held(mutex_);
      call_ = &call;
      ++calls_;
    }
    wake_.notify_all();
    take_part(call);
    std::unique_lock<std::mutex> held(mutex_);
    call_ = nullptr;
    done_.wait(held, [&] { return call.helpers == 0; });
    if (call.failure) std::rethrow_exception(call.failure);
  }

 private:
  struct Call {
    Call(Run f, void* c, size_t n, size_t g) : fn(f), context(c), count(n), grain(g) {}
    Run fn;
    void* context;
    size_t count;
    size_t grain;
    std::atomic<size_t> next{0};
    size_t helpers = 0;          // workers inside the call; under mutex_
    std::exception_ptr failure;  // the first exception of a chunk; under mutex_
  };

  // Runs chunks until none is left. An exception ends the call: no chunk
  // starts after it, and the caller rethrows the first one.
  void take_part(Call& call) {
    try {
      for (;;) {
        const size_t begin = call.next.fetch_add(call.grain, std::memory_order_relaxed);
        if (begin >= call.count) return;
        call.fn(call.context, begin, std::min(call.count, begin + call.grain));
      }
    } catch (...) {
      call.next.store(call.count, std::memory_order_relaxed);
      std::lock_guard<std::mutex> held(mutex_);
      if (!call.failure) call.failure = std::current_exception();
    }
  }

  void serve() {
    uint64_t joined = 0;
    std::unique_lock<std::mutex> held(mutex_);
    for (;;) {
      wake_.wait(held, [&] { return call_ && calls_ != joined; });
      joined = calls_;
      Call& call = *call_;
      ++call.helpers;
      held.unlock();
      take_part(call);
      held.lock();
      if (--call.helpers == 0) done_.notify_all();
    }
  }

  const size_t workers_;
  std::mutex call_mutex_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  Call* call_ = nullptr;
  uint64_t calls_ = 0;
};

}  // namespace

void run_on_own_threads(size_t count, void (*run)(void*, size_t, size_t), void* context) {
  // One pool per process: a fork leaves the parent's threads behind, so a
  // child makes its own. Made and found inside a ForkExcludedScope, so no
  // fork finds the mutex held.
  static std::mutex made_mutex;
  static OwnThreads* pool = nullptr;
  static uint64_t made_in = 0;
  OwnThreads* current;
  {
    ForkExcludedScope no_fork;
    std::lock_guard<std::mutex> held(made_mutex);
    if (!pool || made_in != fork_generation()) {
      // Sized like the oneTBB pool, without asking oneTBB, whose state the
      // fork left inconsistent.
      pool = new OwnThreads(std::min(configured_pool_size(), cpu_count()) - 1);
      made_in = fork_generation();
    }
    current = pool;
  }
  current->run(count, run, context);
}

bool pool_usable() noexcept {
  const uint64_t created = pool_generation.load(std::memory_order_relaxed);
  return created == kNoPool || created == fork_generation();
}

namespace {
// oneTBB leaves a thread attached to an implicit arena after its first
// parallel call, so "inside an arena" cannot be asked of oneTBB; the pool
// marks its own work instead.
thread_local int pool_work_depth = 0;
}  // namespace

bool on_worker_thread() noexcept { return pool_work_depth > 0; }

PoolWorkScope::PoolWorkScope() noexcept { ++pool_work_depth; }
PoolWorkScope::~PoolWorkScope() { --pool_work_depth; }

}  // namespace brindlore
