#include "pool/pool_size.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace simsieve {

std::optional<uint64_t> parse_thread_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, size_t processors) {
  auto capped = [](uint64_t n) { return static_cast<size_t>(std::min<uint64_t>(n, kMaxWorkers)); };
  if (num_threads) {
    if (auto n = parse_thread_count(num_threads)) return capped(*n > 0 ? *n : processors);
  }
  if (rs_num_cpus) {
    if (auto n = parse_thread_count(rs_num_cpus); n && *n > 0) return capped(*n);
  }
  return capped(processors);
}

size_t processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<size_t>(online) : 1;
}

size_t default_pool_size() {
  return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), processor_count());
}

size_t requested_pool_size(uint64_t requested) {
  if (requested == 0) return default_pool_size();
  return static_cast<size_t>(std::min<uint64_t>(requested, kMaxWorkers));
}

}  // namespace simsieve
