// The batch form of the ratio: one exact gestalt ratio per pair, computed across the call's
// thread budget.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace simsieve {

// out[n] = gestalt_ratio(pairs[n].first, pairs[n].second), in input order. threads = 0 runs on
// the shared pool, threads = N on a pool of N workers started for this call.
std::vector<double> ratio_batch(const std::vector<std::pair<std::string, std::string>>& pairs, uint64_t threads);
// Same over views of UTF-8 text that outlive the call.
std::vector<double> ratio_batch(std::span<const std::pair<std::string_view, std::string_view>> pairs,
                                uint64_t threads);

}  // namespace simsieve
