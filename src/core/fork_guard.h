// Keeping the process usable across fork().
//
// Hosts fork data-loader workers after they have tokenized, often while other
// threads still run batches. A child starts with only the forking thread, so
// any lock that another thread held at that moment would stay locked in the
// child for good, and any structure it was changing would stay half changed.
// Two things prevent that, both driven by one set of at-fork handlers:
//
//  - `ForkExcludedScope`: the work that runs outside the interpreter lock (the
//    batches). A fork waits until no such scope is open, and no scope opens
//    until the fork is done, so no worker is inside the engine at the moment
//    of the fork.
//  - `ForkHooks` with a `ForkRegistration`: an object with locks that other
//    callers (threads of C programs, which no scope covers) may hold. Before
//    the fork it takes all of them, so that its state is whole; after the
//    fork the parent gives them back and the child releases or re-creates
//    them, keeping the contents.
//
// `fork_generation()` counts the forks that led to this process, so that
// state tied to threads of an ancestor (the worker pool, per-thread layers)
// can tell that those threads are gone.
#pragma once

#include <cstdint>

namespace brindlore {

// The number of forks between the first process and this one: 0 in the
// process that loaded the library, one more in each child. Thread-safe.
uint64_t fork_generation() noexcept;

// A scope of work that a fork waits for. Opening one blocks while a fork is
// being prepared. Nested scopes on one thread, and scopes opened by work that
// already runs inside one (pass `nested`), count once. Must not be held by a
// thread that forks.
class ForkExcludedScope {
 public:
  explicit ForkExcludedScope(bool nested = false);
  ~ForkExcludedScope();
  ForkExcludedScope(const ForkExcludedScope&) = delete;
  ForkExcludedScope& operator=(const ForkExcludedScope&) = delete;

 private:
  bool counted_;
};

// What an object with locks does around a fork. The three calls run on the
// forking thread, after every ForkExcludedScope has closed, one object at a
// time, with no object being registered or unregistered meanwhile.
class ForkHooks {
 public:
  // Before the fork: take every lock, waiting for their holders.
  virtual void before_fork() noexcept = 0;
  // In the parent, after the fork: give back what before_fork took.
  virtual void after_fork_in_parent() noexcept = 0;
  // In the child, where the forking thread is the only thread: give back or
  // re-create what before_fork took.
  virtual void after_fork_in_child() noexcept = 0;

 protected:
  ~ForkHooks() = default;
};

// Registers `hooks` for the registration's lifetime. Make it the last member
// of the object it guards, so that the hooks are registered only once the
// object is whole and unregistered before any of it is destroyed.
class ForkRegistration {
 public:
  explicit ForkRegistration(ForkHooks& hooks);
  ~ForkRegistration();
  ForkRegistration(const ForkRegistration&) = delete;
  ForkRegistration& operator=(const ForkRegistration&) = delete;

 private:
  friend class ForkRegistry;
  ForkHooks& hooks_;
  ForkRegistration* prev_ = nullptr;
  ForkRegistration* next_ = nullptr;
};

}  // namespace brindlore
