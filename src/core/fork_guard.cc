#include "core/fork_guard.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

namespace brindlore {
namespace {

// The ForkExcludedScopes open on this thread, counted or not.
thread_local int scope_depth = 0;

}  // namespace

// The at-fork handlers and the state they guard. Made once and never
// destroyed, so that it outlives every thread, also at process exit.
//
// Scopes open and close on atomics alone. A fork raises `pending_` and then
// waits for `open_scopes_` to reach zero; an opener raises the count and then
// reads the flag. Both sides write before they read, in one total order
// (sequentially consistent), so either the fork sees the scope or the opener
// sees the fork; an opener that sees it takes its count back and waits for
// the fork to end.
//
// Two mutexes: `fork_mutex_` is held from before the wait until the fork is
// done, so that forks run one at a time and no object registers meanwhile;
// `wait_mutex_` is held only for moments, to order the flag and the count
// against the waits on the conditions. Threads waiting for a fork wait on the
// latter, so the forking thread does not hand a mutex to each of them when
// it returns: on a busy machine every thread it wakes may take its processor.
class ForkRegistry {
 public:
  static ForkRegistry& get() {
    static ForkRegistry* registry = [] {
      auto* made = new ForkRegistry();
      if (pthread_atfork(&prepare, &parent, &child) != 0) std::abort();
      return made;
    }();
    return *registry;
  }

  // The first waiter to see the fork done wakes the others (the fork wakes
  // only one, for the reason above).
  void open_scope() {
    for (;;) {
      open_scopes_.fetch_add(1);
      if (!pending_.load()) return;
      close_scope();
      std::unique_lock<std::mutex> held(wait_mutex_);
      fork_done_.wait(held, [&] { return !pending_.load(); });
      held.unlock();
      fork_done_.notify_all();
    }
  }

  // The last scope to close while a fork is pending wakes the fork. The
  // mutex orders the wake after the fork's check of the count.
  void close_scope() {
    if (open_scopes_.fetch_sub(1) == 1 && pending_.load()) {
      { std::lock_guard<std::mutex> held(wait_mutex_); }
      scopes_closed_.notify_one();
    }
  }

  bool fork_pending() const noexcept { return pending_.load(std::memory_order_relaxed); }

  void add(ForkRegistration& r) {
    std::lock_guard<std::mutex> held(fork_mutex_);
    r.next_ = head_;
    if (head_) head_->prev_ = &r;
    head_ = &r;
  }

  void remove(ForkRegistration& r) {
    std::lock_guard<std::mutex> held(fork_mutex_);
    if (r.prev_) r.prev_->next_ = r.next_;
    if (r.next_) r.next_->prev_ = r.prev_;
    if (head_ == &r) head_ = r.next_;
  }

  std::atomic<uint64_t> generation{0};

 private:
  // Waits for the open scopes to close, then lets every registered object
  // take its locks. Scopes that open meanwhile see the flag and wait.
  static void prepare() {
    if (scope_depth > 0) abort_forking_inside_scope();
    ForkRegistry& r = get();
    r.fork_mutex_.lock();
    {
      std::unique_lock<std::mutex> held(r.wait_mutex_);
      r.pending_.store(true);
      r.scopes_closed_.wait(held, [&] { return r.open_scopes_.load() == 0; });
    }
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.before_fork();
  }

  static void parent() {
    ForkRegistry& r = get();
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.after_fork_in_parent();
    {
      std::lock_guard<std::mutex> held(r.wait_mutex_);
      r.pending_.store(false);
    }
    r.fork_done_.notify_one();
    r.fork_mutex_.unlock();
  }

  // Threads that waited on the mutexes or the conditions do not exist here,
  // so all are made anew rather than released; nor do the scopes that were
  // about to take their count back.
  static void child() {
    ForkRegistry& r = get();
    r.generation.fetch_add(1, std::memory_order_relaxed);
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.after_fork_in_child();
    r.open_scopes_.store(0);
    r.pending_.store(false);
    new (&r.fork_mutex_) std::mutex();
    new (&r.wait_mutex_) std::mutex();
    new (&r.scopes_closed_) std::condition_variable();
    new (&r.fork_done_) std::condition_variable();
  }

  [[noreturn]] static void abort_forking_inside_scope() {
    static constexpr char kMessage[] =
        "brindlore: fork() called by a thread that is running engine work (part of a batch, or "
        "a callback made from one); a fork waits for that work to finish, so it would wait for "
        "ever. Aborting.\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
    std::abort();
  }

  std::atomic<size_t> open_scopes_{0};
  std::atomic<bool> pending_{false};
  std::mutex fork_mutex_;
  std::mutex wait_mutex_;
  std::condition_variable scopes_closed_, fork_done_;
  ForkRegistration* head_ = nullptr;
};

uint64_t fork_generation() noexcept {
  return ForkRegistry::get().generation.load(std::memory_order_relaxed);
}

ForkExcludedScope::ForkExcludedScope(bool nested) : counted_(!nested && scope_depth == 0) {
  if (counted_) ForkRegistry::get().open_scope();
  ++scope_depth;
}

ForkExcludedScope::~ForkExcludedScope() {
  --scope_depth;
  if (counted_) ForkRegistry::get().close_scope();
}

void ForkExcludedScope::let_fork_pass() {
  if (!counted_) return;
  ForkRegistry& r = ForkRegistry::get();
  if (!r.fork_pending()) return;
  r.close_scope();
  r.open_scope();
}

bool inside_fork_excluded_scope() noexcept { return scope_depth > 0; }

ForkRegistration::ForkRegistration(ForkHooks& hooks) : hooks_(hooks) {
  ForkRegistry::get().add(*this);
}

ForkRegistration::~ForkRegistration() { ForkRegistry::get().remove(*this); }

}  // namespace brindlore
