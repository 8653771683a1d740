// Thread-local objects that a thread can make without risk to the process.
//
// The C library allocates a thread's share of the thread-local storage of a
// library loaded at run time (this one, the C++ runtime) on the thread's
// first use of it, and the record that destroys a C++ `thread_local` object
// when its thread ends on the object's first use, and ends the process when
// either allocation fails, as it can under a limit on the address space. So
// the engine's thread-local objects with destructors are `ThreadLocal`s,
// destroyed through a POSIX thread-specific key whose registration reports a
// failure instead; a thread of the worker pool makes them all as it starts,
// once it knows the memory for its share is there, and does not start
// otherwise; and a thread that calls into the engine makes them when it first
// runs a map.
#pragma once

#include <cstddef>
#include <new>

namespace brindlore {

namespace detail {
// Arranges for `destroy(object)` to run when the calling thread ends (not at
// the exit of the process, like the main thread's other thread-specific
// data); false when that cannot be arranged, and the object then stays.
bool at_thread_exit(void (*destroy)(void*), void* object) noexcept;
}  // namespace detail

// The calling thread's T, made by its first use and destroyed when the
// thread ends. T's default constructor must not throw.
template <typename T>
class ThreadLocal {
 public:
  static T& get() noexcept {
    thread_local Slot slot;
    if (!slot.made) {
      new (slot.storage) T();
      slot.made = true;
      detail::at_thread_exit([](void* object) { static_cast<T*>(object)->~T(); }, slot.storage);
    }
    return *std::launder(reinterpret_cast<T*>(slot.storage));
  }

 private:
  struct Slot {
    alignas(T) unsigned char storage[sizeof(T)];
    bool made = false;
  };
};

// Registers `make`, which makes one thread-local object of a module on the
// calling thread (by using it), so that `make_thread_locals` makes it. For a
// namespace-scope constant of the module that keeps the object; at most
// eight in the program.
class ThreadLocalMaker {
 public:
  explicit ThreadLocalMaker(void (*make)()) noexcept;
};

// Makes every registered thread-local object on the calling thread. First it
// asks for blocks of the sizes of the thread's shares of thread-local
// storage, then frees them into the thread's own cache of small blocks,
// where the allocation of those shares, made right after, finds them and no
// other thread can take them meanwhile. False when a block is refused: then
// nothing of the thread's thread-local storage has been touched, and the
// thread must do no engine work. Call it first thing on a new thread.
bool make_thread_locals() noexcept;

// True once `make_thread_locals` succeeded on the calling thread, which it
// calls if not yet, for a thread that already uses this library's
// thread-local storage (one that calls into it). A false is reported by an
// exception, for which it makes the C++ runtime's share first.
bool thread_locals_made() noexcept;

}  // namespace brindlore
