#include "pool/native_thread.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace simsieve::detail {
namespace {

// Owns a pthread attribute object for the duration of one start.
class ThreadAttributes {
 public:
  ThreadAttributes() { ok_ = pthread_attr_init(&attr_) == 0; }
  ~ThreadAttributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;

  bool ok() const { return ok_; }
  pthread_attr_t* get() { return &attr_; }

 private:
  pthread_attr_t attr_{};
  bool ok_ = false;
};

using Body = std::function<void()>;

std::atomic<long> starts_left{-1};  // negative: no limit

// Consumes one start from the test limit; false when the limit is used up.
bool take_start() {
  long left = starts_left.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) return false;
    if (starts_left.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
  }
  return true;
}

extern "C" void* run_thread_body(void* raw) {
  // Ownership of the body passes to the new thread here.
  std::unique_ptr<Body> body(static_cast<Body*>(raw));
  (*body)();
  return nullptr;
}

std::string describe(const char* what, int code) { return std::string(what) + ": " + std::strerror(code); }

}  // namespace

bool NativeThread::start(size_t stack_bytes, std::function<void()> body, std::string* error) {
  ThreadAttributes attributes;
  if (!attributes.ok()) {
    *error = "cannot initialise thread attributes";
    return false;
  }
  if (int rc = pthread_attr_setstacksize(attributes.get(), stack_bytes); rc != 0) {
    *error = describe("cannot set the thread stack size", rc);
    return false;
  }
  if (!take_start()) {
    *error = describe("cannot start a worker thread", EAGAIN);
    return false;
  }
  auto owned = std::make_unique<Body>(std::move(body));
  if (int rc = pthread_create(&handle_, attributes.get(), run_thread_body, owned.get()); rc != 0) {
    *error = describe("cannot start a worker thread", rc);
    return false;
  }
  owned.release();  // now owned by the running thread
  started_ = true;
  return true;
}

void limit_thread_starts_for_testing(long n) { starts_left.store(n, std::memory_order_relaxed); }

NativeThread::~NativeThread() {
  if (started_) pthread_detach(handle_);
}

}  // namespace simsieve::detail
