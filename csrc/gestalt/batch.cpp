#include "gestalt/batch.hpp"

#include "gestalt/gestalt.hpp"
#include "pool/parallel.hpp"
#include "pool/thread_budget.hpp"

namespace simsieve {

namespace {

template <class Pairs>
std::vector<double> ratio_batch_of(const Pairs& pairs, uint64_t threads) {
  return with_thread_budget(threads, [&] {
    return parallel_map_collect<double>(pairs.size(), [&](size_t n) {
      return gestalt_ratio(pairs[n].first, pairs[n].second);
    });
  });
}

}  // namespace

std::vector<double> ratio_batch(const std::vector<std::pair<std::string, std::string>>& pairs, uint64_t threads) {
  return ratio_batch_of(pairs, threads);
}

std::vector<double> ratio_batch(std::span<const std::pair<std::string_view, std::string_view>> pairs,
                                uint64_t threads) {
  return ratio_batch_of(pairs, threads);
}

}  // namespace simsieve
