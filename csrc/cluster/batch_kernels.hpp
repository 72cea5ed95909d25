// Building blocks of a clustering spread over many processes: each works on one batch of strings
// and gives the same values the single-process pipelines compute for them, so that a distributed
// driver (Dask, Spark, Ray) can partition the work and still reproduce those pipelines' results.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "gestalt/bounded.hpp"

namespace simsieve {

// The band hashes of every string of a batch, row-major: out[k * bands + b] is band b of string k,
// the very value the LSH pipeline buckets string k under in band b. bands = num_perm / band_rows
// (0 when band_rows is 0 or exceeds num_perm, and then the result is empty).
std::vector<uint64_t> batch_band_hashes(std::span<const std::string> texts, uint64_t num_perm, uint64_t band_rows);

// Number of bands batch_band_hashes gives per string.
uint64_t batch_band_count(uint64_t num_perm, uint64_t band_rows);

// The verdict of each pair (texts[lo[k]] compared against texts[hi[k]], the first being the one
// with the lower input position): whether its ratio reaches t, with the exact ratio when it does,
// as the LSH pipeline verifies a candidate. Runs in parallel on the caller's pool.
std::vector<Reach> batch_verify_pairs(std::span<const std::string> texts, std::span<const uint32_t> lo,
                                      std::span<const uint32_t> hi, double t);

// One block of a cluster's members for its minimum pairwise ratio. The members are distinct
// strings in the order of their first input position, each with the positions of its first and
// last copy. Pairs (s, t), s before t, are those with s in [row_begin, row_end) and t in
// [col_begin, col_end). Each such pair meets as (s, t) and, when t's first copy precedes s's last
// copy, also as (t, s); the result is the smaller of `upper` and the smallest ratio of all these
// meetings, exact, the lower position's string always compared against the higher's.
struct MemberBlock {
  std::span<const std::string> texts;
  std::span<const uint64_t> first, last;
  uint64_t row_begin = 0, row_end = 0, col_begin = 0, col_end = 0;
};
double block_min_ratio(const MemberBlock& block, double upper);

}  // namespace simsieve
