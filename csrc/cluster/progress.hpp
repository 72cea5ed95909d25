// Optional progress lines of the clustering pipelines, written to standard error when the
// environment variable SIMSIEVE_PROGRESS is present (whatever its value). Nothing else is printed.
#pragma once

#include <chrono>
#include <cstdint>

namespace simsieve {

// True when SIMSIEVE_PROGRESS exists in the environment right now. Pipelines read it once per call.
bool progress_enabled();

// "    [simsieve] edges: DONE/TOTAL candidates (P%), TESTED tested, EDGES edges"
void write_edge_progress(uint64_t done, uint64_t total, uint64_t tested, uint64_t edges);

// The three lines of the LSH pipeline; seconds are printed with two decimals.
void write_lsh_signatures(uint64_t signatures, double seconds);
void write_lsh_candidates(uint64_t candidate_pairs, double seconds);
void write_lsh_verified(uint64_t verified_pairs, double seconds);

// Seconds elapsed since construction, on the monotonic clock.
class ProgressClock {
 public:
  ProgressClock() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
    return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace simsieve
