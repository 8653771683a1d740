// Waiting for a forked child in a test without hanging the test.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace brindlore::testing {

// Waits for a child for up to ten seconds and returns its wait status; a
// child that hangs is killed and reported as -1.
inline int child_status(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return status;
}

// True when the child exited with status 0 within the ten seconds.
inline bool child_succeeded(pid_t pid) {
  const int status = child_status(pid);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace brindlore::testing

// ThreadSanitizer does not support fork in a process that runs threads.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "fork with threads under ThreadSanitizer"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif
