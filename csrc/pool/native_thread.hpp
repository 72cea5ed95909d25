// An operating-system thread started with an explicit stack size (std::thread cannot set one).
// The thread is detached when its handle goes away: nobody waits for pool workers to exit.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <string>

namespace simsieve::detail {

class NativeThread {
 public:
  // Starts body on a new thread with a stack of stack_bytes. Returns false (and fills *error with
  // the reason) when the thread cannot be started; body is then not run.
  bool start(size_t stack_bytes, std::function<void()> body, std::string* error);

  NativeThread() = default;
  NativeThread(NativeThread&& other) noexcept : handle_(other.handle_), started_(other.started_) {
    other.started_ = false;
  }
  NativeThread& operator=(NativeThread&&) = delete;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;
  ~NativeThread();

 private:
  pthread_t handle_{};
  bool started_ = false;
};

// Test seam: after n more successful starts, start() refuses every further thread as if the
// system had run out of threads (n < 0 lifts the limit). Lets the test suite exercise the paths
// taken when a pool cannot be started without exhausting the machine.
void limit_thread_starts_for_testing(long n);

}  // namespace simsieve::detail
