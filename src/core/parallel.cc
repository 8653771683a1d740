#include "core/parallel.h"

#include <tbb/info.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
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
  // size is capped there rather than asked for in vain.
  static tbb::task_arena* arena = [] {
    pool_generation.store(fork_generation(), std::memory_order_relaxed);
    const auto cap = static_cast<size_t>(std::max(1, tbb::info::default_concurrency()));
    return new tbb::task_arena(static_cast<int>(std::min(configured_pool_size(), cap)));
  }();
  return *arena;
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
