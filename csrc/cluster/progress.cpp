#include "cluster/progress.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "common/internal_error.hpp"

namespace simsieve {
namespace {

// Writes one formatted line straight to file descriptor 2, so that nothing is held in a buffer.
// printf's %.0f / %.2f round the exact binary value to nearest, ties to even.
template <class... Args>
void write_line(const char* format, Args... args) {
  char line[256];
  int len = std::snprintf(line, sizeof line, format, args...);
  ensure(len > 0 && static_cast<size_t>(len) < sizeof line, "progress line does not fit its buffer");
  const char* p = line;
  size_t left = static_cast<size_t>(len);
  while (left > 0) {
    ssize_t wrote = ::write(STDERR_FILENO, p, left);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) internal_failure("could not write a progress line to standard error");
    p += wrote;
    left -= static_cast<size_t>(wrote);
  }
}

}  // namespace

bool progress_enabled() { return std::getenv("SIMSIEVE_PROGRESS") != nullptr; }

void write_edge_progress(uint64_t done, uint64_t total, uint64_t tested, uint64_t edges) {
  double percent = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  write_line("    [simsieve] edges: %llu/%llu candidates (%.0f%%), %llu tested, %llu edges\n",
             static_cast<unsigned long long>(done), static_cast<unsigned long long>(total), percent,
             static_cast<unsigned long long>(tested), static_cast<unsigned long long>(edges));
}

void write_lsh_signatures(uint64_t signatures, double seconds) {
  write_line("    [simsieve] lsh: %llu signatures in %.2fs\n", static_cast<unsigned long long>(signatures), seconds);
}

void write_lsh_candidates(uint64_t candidate_pairs, double seconds) {
  write_line("    [simsieve] lsh: %llu candidate pairs in %.2fs\n", static_cast<unsigned long long>(candidate_pairs),
             seconds);
}

void write_lsh_verified(uint64_t verified_pairs, double seconds) {
  write_line("    [simsieve] lsh: %llu verified pairs in %.2fs\n", static_cast<unsigned long long>(verified_pairs),
             seconds);
}

}  // namespace simsieve
