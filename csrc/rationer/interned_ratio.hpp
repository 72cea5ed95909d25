// The batch ratio of the Rationer handle: the pairs of a batch are evaluated over their distinct
// strings. Each distinct string is decoded at most once per call, a second string shared by
// several pairs gets one match index for all of them, the pairs are evaluated grouped by their
// second string so that consecutive evaluations on a worker reuse the same index, and a pair
// that occurs several times is evaluated once.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace simsieve {

// Element i is the exact gestalt ratio of pairs[i] (equal to gestalt_ratio of the pair). Runs on
// the calling thread; its parallel steps go to the calling thread's pool. Throws BatchLimitError
// (string_interner.hpp) for more than 4294967295 pairs or distinct strings.
std::vector<double> interned_ratio_many(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace simsieve
