#include "core/fork_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/parallel.h"
#include "core/seg_cache.h"
#include "support/child_process.h"

namespace brindlore {
namespace {

using testing::child_status;
using testing::child_succeeded;

TEST(ForkGuard, AChildCanUseACacheThatAnotherThreadWasChanging) {
  SKIP_UNDER_THREAD_SANITIZER();
  SegCache cache(0);
  auto seg = std::make_shared<const CachedSegmentation>();
  cache.store(true, "kept", seg);
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    for (size_t i = 0; !stop.load(); ++i) {
      cache.store(true, std::to_string(i % 5000), seg);
      if (i % 4096 == 0) cache.clear();
    }
  });
  for (int round = 0; round < 20; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      cache.store(false, "child", seg);
      const bool found = cache.lookup(false, "child") != nullptr;
      cache.clear();
      _exit(found && cache.size() == 0 ? 0 : 1);
    }
    EXPECT_TRUE(child_succeeded(pid)) << "round " << round;
  }
  stop = true;
  busy.join();
}

TEST(ForkGuard, AForkWaitsForOpenScopes) {
  SKIP_UNDER_THREAD_SANITIZER();
  std::atomic<bool> opened{false}, finished{false};
  std::thread worker([&] {
    ForkExcludedScope scope;
    opened = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    finished = true;
  });
  while (!opened) std::this_thread::yield();
  const uint64_t generation = fork_generation();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(finished && fork_generation() == generation + 1 ? 0 : 1);
  EXPECT_TRUE(finished);
  EXPECT_EQ(fork_generation(), generation);
  EXPECT_TRUE(child_succeeded(pid));
  worker.join();
}

// A batch that would run for minutes (its items sleep while no fork has
// happened, up to a ten-second deadline that keeps a failing test from
// hanging) must not keep a fork waiting: the fork waits for the items in
// flight only, and the rest of the batch runs after it, before the deadline,
// with its results intact. Waiting for whole batches or whole chunks of one
// lets the fork through only once the deadline has run the items out.
class ForkDuringBatch : public ::testing::TestWithParam<bool> {};

TEST_P(ForkDuringBatch, WaitsOnlyForTheItemsInFlight) {
  SKIP_UNDER_THREAD_SANITIZER();
  const bool on_pool = GetParam();
  constexpr size_t kCount = size_t{1} << 22;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::atomic<bool> started{false}, forked{false}, seen_after_fork{false};
  auto body = [&](size_t i) -> Result<size_t> {
    started = true;
    const bool in_time = std::chrono::steady_clock::now() < deadline;
    if (forked) {
      seen_after_fork = seen_after_fork || in_time;
    } else if (in_time) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return i;
  };
  Result<std::vector<size_t>> results = make_error("not run");
  std::thread batch([&] {
    results = on_pool ? parallel_map<size_t>(kCount, body)
                      : run_batch<size_t>(kCount, BatchScheme{SIZE_MAX, false, true}, body);
  });
  while (!started) std::this_thread::yield();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(0);
  forked = true;
  batch.join();
  EXPECT_TRUE(child_succeeded(pid));
  EXPECT_TRUE(seen_after_fork);
  ASSERT_TRUE(results.ok());
  for (size_t i = 0; i < kCount; ++i) ASSERT_EQ((*results)[i], i);
}

INSTANTIATE_TEST_SUITE_P(PoolAndUnlockedSequential, ForkDuringBatch, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Pool" : "Sequential"; });

TEST(ForkGuard, AForkFromInsideAScopeAbortsWithAMessage) {
  SKIP_UNDER_THREAD_SANITIZER();
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDERR_FILENO);
    ForkExcludedScope scope;
    const pid_t grandchild = fork();
    if (grandchild == 0) _exit(0);
    _exit(3);
  }
  close(out[1]);
  const int status = child_status(pid);
  std::string written;
  char buffer[512];
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) written.append(buffer, n);
  close(out[0]);
  ASSERT_NE(status, -1) << "the fork waited for its own scope";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
  EXPECT_EQ(written,
            "brindlore: fork() called by a thread that is running engine work (part of a batch, "
            "or a callback made from one); a fork waits for that work to finish, so it would "
            "wait for ever. Aborting.\n");
}

}  // namespace
}  // namespace brindlore
