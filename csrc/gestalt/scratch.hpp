// Per-thread scratch areas of the ratio engine. Each area lives in thread_local storage, keeps
// its capacity between calls and is leased for the duration of one call; leasing an area that is
// already leased on the same thread (re-entry, which normal use never causes) is an internal
// failure.
#pragma once

#include <memory>

#include "common/internal_error.hpp"

namespace simsieve::detail {

// Base for a scratch area: carries the in-use flag.
struct ScratchArea {
  bool in_use = false;
};

// The calling thread's instance of Area, created on the thread's first use and destroyed when the
// thread ends. The fast path reads one trivially initialised thread_local pointer.
template <class Area>
Area& thread_area() {
  static thread_local Area* fast = nullptr;
  if (fast) [[likely]] return *fast;
  static thread_local std::unique_ptr<Area> owner;
  owner = std::make_unique<Area>();
  fast = owner.get();
  return *fast;
}

template <class Area>
class ScratchLease {
 public:
  ScratchLease(Area& area, const char* what) : area_(area) {
    ensure(!area.in_use, what);
    area.in_use = true;
  }
  ~ScratchLease() { area_.in_use = false; }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  Area& operator*() const { return area_; }
  Area* operator->() const { return &area_; }

 private:
  Area& area_;
};

}  // namespace simsieve::detail
