// A broken invariant inside the native core. Computation code throws it (never for bad input: every
// well-formed input has a result); the Python call frame turns it into PanicException.
#pragma once

#include <stdexcept>
#include <string>

namespace simsieve {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void internal_failure(const std::string& message) { throw InternalError(message); }

// Checks an invariant that must hold whatever the input; throws InternalError when it does not.
inline void ensure(bool condition, const char* message) {
  if (!condition) [[unlikely]] internal_failure(message);
}

}  // namespace simsieve
