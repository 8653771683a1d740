#include "core/fork_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "core/seg_cache.h"

namespace brindlore {
namespace {

// Waits for a child for up to ten seconds; a child that hangs is killed and
// counts as failed.
bool child_succeeded(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ThreadSanitizer does not support fork in a process that runs threads.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "fork with threads under ThreadSanitizer"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

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

}  // namespace
}  // namespace brindlore
