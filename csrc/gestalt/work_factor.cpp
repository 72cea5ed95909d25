#include "gestalt/work_factor.hpp"

#include <cstdlib>

namespace simsieve {

std::optional<uint64_t> parse_work_factor(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

uint64_t work_factor() {
  // A function-local static: initialised exactly once, thread-safe.
  static const uint64_t factor = [] {
    const char* raw = std::getenv("SV_WORK_FACTOR");
    if (!raw) return kDefaultWorkFactor;
    return parse_work_factor(raw).value_or(kDefaultWorkFactor);
  }();
  return factor;
}

}  // namespace simsieve
