#include "core/fork_guard.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>

namespace brindlore {

// The at-fork handlers and the state they guard. Made once and never
// destroyed, so that it outlives every thread, also at process exit.
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

  void open_scope() {
    std::unique_lock<std::mutex> held(mutex_);
    changed_.wait(held, [&] { return !forking_; });
    ++open_scopes_;
  }

  void close_scope() {
    std::lock_guard<std::mutex> held(mutex_);
    if (--open_scopes_ == 0 && forking_) changed_.notify_all();
  }

  void add(ForkRegistration& r) {
    std::lock_guard<std::mutex> held(mutex_);
    r.next_ = head_;
    if (head_) head_->prev_ = &r;
    head_ = &r;
  }

  void remove(ForkRegistration& r) {
    std::lock_guard<std::mutex> held(mutex_);
    if (r.prev_) r.prev_->next_ = r.next_;
    if (r.next_) r.next_->prev_ = r.prev_;
    if (head_ == &r) head_ = r.next_;
  }

  std::atomic<uint64_t> generation{0};

 private:
  // Waits for the open scopes to close and keeps the mutex until the fork is
  // done, so that no scope opens and no object registers meanwhile; then
  // lets every registered object take its locks.
  static void prepare() {
    ForkRegistry& r = get();
    std::unique_lock<std::mutex> held(r.mutex_);
    r.forking_ = true;
    r.changed_.wait(held, [&] { return r.open_scopes_ == 0; });
    held.release();
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.before_fork();
  }

  static void parent() {
    ForkRegistry& r = get();
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.after_fork_in_parent();
    r.forking_ = false;
    r.mutex_.unlock();
    r.changed_.notify_all();
  }

  // Threads that waited on the mutex or the condition do not exist here, so
  // both are made anew rather than released.
  static void child() {
    ForkRegistry& r = get();
    r.generation.fetch_add(1, std::memory_order_relaxed);
    for (ForkRegistration* p = r.head_; p; p = p->next_) p->hooks_.after_fork_in_child();
    r.forking_ = false;
    new (&r.mutex_) std::mutex();
    new (&r.changed_) std::condition_variable();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  size_t open_scopes_ = 0;
  bool forking_ = false;
  ForkRegistration* head_ = nullptr;
};

uint64_t fork_generation() noexcept {
  return ForkRegistry::get().generation.load(std::memory_order_relaxed);
}

namespace {
thread_local int scope_depth = 0;
}  // namespace

ForkExcludedScope::ForkExcludedScope(bool nested) : counted_(!nested && scope_depth == 0) {
  if (counted_) ForkRegistry::get().open_scope();
  ++scope_depth;
}

ForkExcludedScope::~ForkExcludedScope() {
  --scope_depth;
  if (counted_) ForkRegistry::get().close_scope();
}

ForkRegistration::ForkRegistration(ForkHooks& hooks) : hooks_(hooks) {
  ForkRegistry::get().add(*this);
}

ForkRegistration::~ForkRegistration() { ForkRegistry::get().remove(*this); }

}  // namespace brindlore
