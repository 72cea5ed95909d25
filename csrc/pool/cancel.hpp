// Cooperative cancellation of a running call. The thread that starts a call sets its token as the
// current one; every pool job created on behalf of the call carries the token to the thread that
// runs it, and long loops call check_cancelled() at coarse points, which throws Cancelled once the
// token is set. A thread that blocks waiting for pool work runs its wait hook every
// kWaitHookInterval, which is how the caller learns, while it waits, that it should cancel. The
// interval runs across waits: a caller that waits for one short parallel step after another still
// runs its hook once every interval, during whichever wait is going on when the hook falls due.
// Nothing here knows who cancels (the Python binding does, on a pending signal).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>

namespace simsieve {

// Thrown by check_cancelled() inside a cancelled call; it unwinds the call like any failure.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "operation cancelled"; }
};

class CancelToken {
 public:
  void cancel() noexcept { flag_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return flag_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> flag_{false};
};

inline constexpr std::chrono::milliseconds kWaitHookInterval{50};

namespace detail {
inline thread_local const CancelToken* current_token = nullptr;

struct WaitHook {
  void (*fn)(void*) = nullptr;
  void* context = nullptr;
  // When the hook is next to run: kWaitHookInterval after it last ran or was installed.
  std::chrono::steady_clock::time_point due{};

  void run() {
    fn(context);
    due = std::chrono::steady_clock::now() + kWaitHookInterval;
  }
};
inline thread_local WaitHook current_wait_hook{};
}  // namespace detail

// The token of the call the calling thread is working for (nullptr outside any call).
inline const CancelToken* current_cancel_token() noexcept { return detail::current_token; }

// Throws Cancelled when the current call has been cancelled.
inline void check_cancelled() {
  const CancelToken* token = detail::current_token;
  if (token && token->cancelled()) [[unlikely]] throw Cancelled();
}

// For a long stretch of work on the thread that started the call, which waits for nothing in it
// (a serial loop): runs the thread's wait hook once it is due, as a wait would, then
// check_cancelled(). Reads the clock, so it belongs at coarse points (tens of microseconds apart
// or more). On other threads it is check_cancelled().
inline void poll_and_check_cancelled() {
  detail::WaitHook& hook = detail::current_wait_hook;
  if (hook.fn && std::chrono::steady_clock::now() >= hook.due) hook.run();
  check_cancelled();
}

// check_cancelled() every 64 iterations of a loop over i.
inline void check_cancelled_every(size_t i) {
  if ((i & 63) == 0) check_cancelled();
}

// Makes `token` the calling thread's current token for the scope's lifetime.
class CancelScope {
 public:
  explicit CancelScope(const CancelToken* token) noexcept : saved_(detail::current_token) {
    detail::current_token = token;
  }
  ~CancelScope() { detail::current_token = saved_; }
  CancelScope(const CancelScope&) = delete;
  CancelScope& operator=(const CancelScope&) = delete;

 private:
  const CancelToken* saved_;
};

// Installs fn(context) as the calling thread's wait hook for the scope's lifetime.
class WaitHookScope {
 public:
  WaitHookScope(void (*fn)(void*), void* context) noexcept : saved_(detail::current_wait_hook) {
    detail::current_wait_hook = detail::WaitHook{fn, context, std::chrono::steady_clock::now() + kWaitHookInterval};
  }
  ~WaitHookScope() { detail::current_wait_hook = saved_; }
  WaitHookScope(const WaitHookScope&) = delete;
  WaitHookScope& operator=(const WaitHookScope&) = delete;

 private:
  detail::WaitHook saved_;
};

}  // namespace simsieve
