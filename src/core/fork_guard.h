// Keeping the process usable across fork().
//
// Hosts fork data-loader workers after they have tokenized, often while other
// threads still run batches. A child starts with only the forking thread, so
// any lock that another thread held at that moment would stay locked in the
// child for good, and any structure it was changing would stay half changed.
// Two things prevent that, both driven by one set of at-fork handlers:
//
//  - `ForkExcludedScope`: work that runs outside the interpreter lock (a chunk
//    of a batch). A fork waits until no such scope is open, and no scope
//    opens until the fork is done, so no worker is inside the engine at the
//    moment of the fork. Work that runs long keeps its scope open but lets a
//    waiting fork pass between its items (`let_fork_pass`), so a fork waits
//    only for the items in flight, never for whole batches: the forking
//    thread holds the interpreter lock meanwhile, and every other Python
//    thread waits with it.
//  - `ForkHooks` with a `ForkRegistration`: an object with locks that other
//    callers (threads of C programs, which no scope covers) may hold. Before
//    the fork it takes all of them, so that its state is whole; after the
//    fork the parent gives them back and the child releases or re-creates
//    them, keeping the contents.
//
// A thread that forks while it has a scope open would wait for itself: the
// process is aborted with a message on stderr instead.
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
// pending. Nested scopes on one thread count once, and so do scopes opened on
// other threads by work that a scope already covers (pass `nested`: the
// chunks of a parallel call made from inside a scope), which therefore never
// wait for a fork: the fork is already waiting for the scope that covers
// them. Opening and closing cost an atomic increment and decrement and a
// load; the mutex is taken only while a fork is pending. A thread that forks
// must not hold one (the fork aborts the process).
class ForkExcludedScope {
 public:
  explicit ForkExcludedScope(bool nested = false);
  ~ForkExcludedScope();
  ForkExcludedScope(const ForkExcludedScope&) = delete;
  ForkExcludedScope& operator=(const ForkExcludedScope&) = delete;

  // Lets a pending fork go ahead: closes the scope, waits until the fork is
  // done and opens the scope again. Call it between work items, where the
  // thread holds no lock and leaves nothing half changed. One atomic load
  // when no fork is pending; does nothing in a scope that does not count.
  void let_fork_pass();

 private:
  bool counted_;
};

// True while the calling thread has a ForkExcludedScope open.
bool inside_fork_excluded_scope() noexcept;

// What an object with locks does around a fork. The three calls run on the
// forking thread, once no counted ForkExcludedScope is open and while none
// can open, one object at a time, with no object being registered or
// unregistered meanwhile.
//
// A lock taken in `before_fork` may be held by threads outside any scope, or
// by work inside one (the fork first waits for that work to end). Whoever
// holds it must give it back without waiting for anything the forking thread
// may hold: while holding it, a thread must not open a ForkExcludedScope (it
// would wait for the fork, which waits for the lock), wait for the
// interpreter lock, fork, or wait for another object's hooked lock (the
// objects take theirs one after another, in no fixed order).
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
