#include "core/thread_locals.h"

#include <link.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <exception>

namespace brindlore {
namespace {

constexpr size_t kMaxMakers = 8;
using Maker = void (*)();
constinit Maker makers[kMaxMakers] = {};
constinit std::atomic<size_t> maker_count{0};

// Loaded objects with thread-local storage whose sizes are asked for.
constexpr size_t kMaxStorageBlocks = 32;

struct StorageSizes {
  size_t count = 0;
  size_t size[kMaxStorageBlocks];
};

int add_storage_size(dl_phdr_info* info, size_t, void* out) {
  auto& sizes = *static_cast<StorageSizes*>(out);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum && sizes.count < kMaxStorageBlocks; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_TLS || header.p_memsz == 0) continue;
    // A block aligned beyond what the allocator gives is over-allocated.
    const bool over = header.p_align > alignof(std::max_align_t);
    sizes.size[sizes.count++] = header.p_memsz + (over ? header.p_align : 0);
  }
  return 0;
}

// Asks for a block of each size the thread's shares of thread-local storage
// will take, then frees them.
bool memory_is_there() noexcept {
  StorageSizes sizes;
  dl_iterate_phdr(&add_storage_size, &sizes);
  void* blocks[kMaxStorageBlocks] = {};
  size_t taken = 0;
  bool all = true;
  for (size_t i = 0; i < sizes.count && all; ++i) {
    all = (blocks[taken++] = std::malloc(sizes.size[i]));
  }
  for (size_t i = 0; i < taken; ++i) std::free(blocks[i]);
  return all;
}

thread_local bool made = false;

// What a thread's ThreadLocals need done when it ends, most recent first.
constexpr size_t kMaxExits = 8;
struct Exits {
  size_t count;
  struct {
    void (*destroy)(void*);
    void* object;
  } due[kMaxExits];
};
thread_local Exits exits;

void run_exits(void* list) {
  auto& pending = *static_cast<Exits*>(list);
  while (pending.count > 0) {
    --pending.count;
    pending.due[pending.count].destroy(pending.due[pending.count].object);
  }
}

// Made once; never deleted, since threads may still end after the library's
// statics are gone.
pthread_key_t exit_key() noexcept {
  static const pthread_key_t key = [] {
    pthread_key_t made_key;
    if (pthread_key_create(&made_key, &run_exits) != 0) std::abort();
    return made_key;
  }();
  return key;
}

}  // namespace

namespace detail {

bool at_thread_exit(void (*destroy)(void*), void* object) noexcept {
  if (exits.count == kMaxExits) return false;
  if (exits.count == 0 && pthread_setspecific(exit_key(), &exits) != 0) return false;
  exits.due[exits.count++] = {destroy, object};
  return true;
}

}  // namespace detail

ThreadLocalMaker::ThreadLocalMaker(void (*make)()) noexcept {
  const size_t slot = maker_count.fetch_add(1);
  if (slot >= kMaxMakers) std::abort();
  makers[slot] = make;
}

bool make_thread_locals() noexcept {
  // Twice: a thread's cache of small blocks is made by its first allocation,
  // and when that failed and the others did not, the first round's blocks
  // went back where other threads take from.
  if (!memory_is_there() || !memory_is_there()) return false;
  // The C++ runtime's share, which an exception needs, and this library's.
  [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
  made = true;
  const size_t count = maker_count.load();
  for (size_t i = 0; i < count; ++i) makers[i]();
  return true;
}

bool thread_locals_made() noexcept {
  if (made) return true;
  // The C++ runtime's share first, a small block, while there is room: the
  // caller reports a failure below by an exception, which needs it.
  [[maybe_unused]] volatile int uncaught = std::uncaught_exceptions();
  return make_thread_locals();
}

}  // namespace brindlore
