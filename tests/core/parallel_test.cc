#include "core/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace brindlore {
namespace {

class PoolSizeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
  }
};

TEST_F(PoolSizeTest, ReadsTheVariablesAsRayonDoes) {
  const size_t cpus = std::max(1u, std::thread::hardware_concurrency());
  struct Case {
    const char* first;
    const char* second;
    size_t expected;
  };
  // 0 asks for the CPU count without consulting the second variable; a
  // leading '+' is allowed, any other sign or space is not.
  const Case cases[] = {{"3", "5", 3},         {"0", "5", cpus},        {"+4", "5", 4},
                        {"-2", "5", 5},        {"+", "5", 5},           {"-0", "5", 5},
                        {"abc", "5", 5},       {"4x", nullptr, cpus},   {"", "", cpus},
                        {nullptr, "7", 7},     {nullptr, "+7", 7},      {nullptr, "0", cpus},
                        {" 2", nullptr, cpus}, {nullptr, nullptr, cpus}};
  for (const Case& c : cases) {
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
    if (c.first) setenv("RAYON_NUM_THREADS", c.first, 1);
    if (c.second) setenv("RAYON_RS_NUM_CPUS", c.second, 1);
    EXPECT_EQ(configured_pool_size(), c.expected) << (c.first ? c.first : "unset");
  }
}

TEST(ParallelMap, KeepsInputOrder) {
  Result<std::vector<size_t>> r = parallel_map<size_t>(10000, [](size_t i) -> Result<size_t> {
    return i * 3;
  });
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 10000u);
  for (size_t i = 0; i < r->size(); ++i) EXPECT_EQ((*r)[i], i * 3);
}

TEST(ParallelMap, StopsAfterAFailureAndKeepsOneError) {
  // Item 0 fails; every other item waits until it has, so only the items that
  // were already running when the failure was stored may still finish.
  constexpr size_t kCount = 100000;
  std::atomic<bool> failed{false};
  std::atomic<size_t> started{0};
  Result<std::vector<int>> r = parallel_map<int>(kCount, [&](size_t i) -> Result<int> {
    started.fetch_add(1);
    if (i == 0) {
      failed.store(true);
      return make_error("failed at 0");
    }
    while (!failed.load()) std::this_thread::yield();
    return 1;
  });
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message, "failed at 0");
  EXPECT_LT(started.load(), kCount / 100);
}

TEST(ParallelMap, TendsEveryItemBeforeItReturns) {
  // The last chunk may end on a helper just after the calling thread last
  // looked for items to tend; the map must still tend them before it returns.
  for (size_t round = 0; round < 3000; ++round) {
    const size_t count = 33 + round % 97;
    ParallelMap map(count);
    size_t tended = 0;
    Status done = map.run([](size_t, size_t) -> Status { return Ok{}; },
                          [&](MapProgress& progress) { return tended = progress.done(); });
    ASSERT_TRUE(done.ok());
    ASSERT_EQ(tended, count) << "round " << round;
  }
}

TEST(ParallelMap, NestedCallsRunInTheCurrentPool) {
  Result<std::vector<size_t>> r = parallel_map<size_t>(64, [](size_t i) -> Result<size_t> {
    EXPECT_TRUE(on_worker_thread());
    Result<std::vector<size_t>> inner =
        parallel_map<size_t>(64, [i](size_t j) -> Result<size_t> { return i + j; });
    if (!inner) return std::move(inner).error();
    size_t sum = 0;
    for (size_t v : *inner) sum += v;
    return sum;
  });
  ASSERT_TRUE(r.ok());
  for (size_t i = 0; i < 64; ++i) EXPECT_EQ((*r)[i], 64 * i + 2016);
  EXPECT_FALSE(on_worker_thread());
}

TEST(ParallelMap, ConcurrentCallsCoverEveryIndexOnceAndPassOnExceptions) {
  // Four callers at once share the pool's threads.
  std::vector<std::thread> callers;
  std::atomic<int> wrong{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int round = 0; round < 50; ++round) {
        std::vector<std::atomic<int>> seen(1000);
        Result<std::vector<int>> r = parallel_map<int>(seen.size(), [&](size_t i) -> Result<int> {
          seen[i].fetch_add(1);
          return 0;
        });
        wrong += !r.ok();
        for (const auto& s : seen) wrong += s.load() != 1;
      }
    });
  }
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(wrong.load(), 0);
  auto throws = [](size_t i) -> Result<int> {
    if (i == 500) throw std::runtime_error("item");
    return 0;
  };
  EXPECT_THROW(static_cast<void>(parallel_map<int>(1000, throws)), std::runtime_error);
}

// An item that throws on the calling thread while helpers are inside other
// items: the map must not return before they have left, since the frames
// its body refers to may end with the exception.
TEST(ParallelMap, AThrowOnTheCallingThreadWaitsForTheHelpers) {
  const std::thread::id caller = std::this_thread::get_id();
  for (int round = 0; round < 20; ++round) {
    ParallelMap map(64);
    if (map.participants() < 2) GTEST_SKIP() << "no helper thread";
    std::atomic<int> inside{0};
    auto body = [&](size_t, size_t) -> Status {
      if (std::this_thread::get_id() == caller) {
        while (inside.load() == 0) std::this_thread::yield();
        throw std::runtime_error("item");
      }
      ++inside;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      --inside;
      return Ok{};
    };
    EXPECT_THROW(static_cast<void>(map.run(body)), std::runtime_error);
    EXPECT_EQ(inside.load(), 0) << "round " << round;
  }
}

int guards = 0;
struct CountingGuard {
  CountingGuard() { ++guards; }
};

TEST(RunBatch, SwitchesAtTheThresholdAndReportsTheFirstSequentialFailure) {
  guards = 0;
  auto fail_at_5_and_8 = [](size_t i) -> Result<size_t> {
    if (i == 5 || i == 8) return make_error("text " + std::to_string(i));
    return i;
  };
  Result<std::vector<size_t>> small =
      run_batch<size_t, CountingGuard>(10, BatchScheme{}, fail_at_5_and_8);
  ASSERT_FALSE(small.ok());
  EXPECT_EQ(small.error().message, "text 5");
  EXPECT_EQ(guards, 0);

  Result<std::vector<size_t>> large = run_batch<size_t, CountingGuard>(
      32, BatchScheme{}, [](size_t i) -> Result<size_t> { return i; });
  ASSERT_TRUE(large.ok());
  EXPECT_EQ(large->size(), 32u);
  EXPECT_EQ(guards, 1);

  Result<std::vector<size_t>> empty = run_batch<size_t, CountingGuard>(
      0, BatchScheme{0, true, false}, [](size_t) -> Result<size_t> { return 0; });
  EXPECT_TRUE(empty.ok() && empty->empty());
  EXPECT_EQ(guards, 1);

  Result<std::vector<size_t>> always = run_batch<size_t, CountingGuard>(
      0, BatchScheme{0, false, false}, [](size_t) -> Result<size_t> { return 0; });
  EXPECT_TRUE(always.ok() && always->empty());
  EXPECT_EQ(guards, 2);

  Result<std::vector<size_t>> unlocked_sequential = run_batch<size_t, CountingGuard>(
      3, BatchScheme{SIZE_MAX, true, true}, [](size_t i) -> Result<size_t> { return i; });
  EXPECT_TRUE(unlocked_sequential.ok());
  EXPECT_EQ(guards, 3);
}

}  // namespace
}  // namespace brindlore
