#include "core/parallel.h"

#include <tbb/global_control.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace brindlore {
namespace {

// A positive decimal integer, or nothing.
std::optional<size_t> positive_count(const char* text) {
  if (!text || !*text) return std::nullopt;
  size_t value = 0;
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  if (ec != std::errc() || ptr != end || value == 0) return std::nullopt;
  return value;
}

}  // namespace

size_t configured_pool_size() {
  for (const char* name : {"RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"}) {
    if (auto n = positive_count(std::getenv(name))) return *n;
  }
  unsigned cpus = std::thread::hardware_concurrency();
  return cpus == 0 ? 1 : cpus;
}

tbb::task_arena& worker_pool() {
  // Constructed on first use; the arena's threads start with its first task.
  // oneTBB caps its workers at the CPU count unless told otherwise, so a
  // larger configured size also raises that cap for the life of the process.
  static const int size = static_cast<int>(std::min<size_t>(configured_pool_size(), 4096));
  static tbb::global_control cap(tbb::global_control::max_allowed_parallelism,
                                 std::max<size_t>(static_cast<size_t>(size),
                                                  std::thread::hardware_concurrency()));
  static tbb::task_arena arena(size);
  return arena;
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
