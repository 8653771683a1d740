// Making a thread's thread-local objects before it works.
//
// The C library allocates a thread's share of the thread-local storage of a
// library loaded at run time (this one, the C++ runtime), and the record that
// destroys a thread-local object when its thread ends, on the thread's first
// use of each, and ends the process when that allocation fails, as it can
// under a limit on the address space. A thread of the worker pool therefore
// makes all of them as it starts, once it knows the memory is there, and
// does not start otherwise; the threads that call into the engine make them
// when they first run a map.
#pragma once

namespace brindlore {

// Registers `make`, which makes one thread-local object of a module on the
// calling thread (by using it), so that `make_thread_locals` makes it. For a
// namespace-scope constant of the module that keeps the object; at most
// eight in the program.
class ThreadLocalMaker {
 public:
  explicit ThreadLocalMaker(void (*make)()) noexcept;
};

// Makes every registered thread-local object on the calling thread. First it
// asks for blocks of the sizes that the C library will allocate itself, then
// frees them into the thread's own cache of small blocks, where those
// allocations, made right after, find them, and no other thread can take
// them meanwhile. False when a block is refused: then nothing of the
// thread's thread-local storage has been touched, and the thread must do no
// engine work. Call it first thing on a new thread.
bool make_thread_locals() noexcept;

// True once `make_thread_locals` succeeded on the calling thread, which it
// calls if not yet, for a thread that already uses this library's
// thread-local storage (one that calls into it). A false is reported by an
// exception, for which it makes the C++ runtime's share first.
bool thread_locals_made() noexcept;

}  // namespace brindlore
