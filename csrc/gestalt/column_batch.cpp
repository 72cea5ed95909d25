#include "gestalt/column_batch.hpp"

#include "gestalt/gestalt.hpp"
#include "pool/parallel.hpp"
#include "pool/thread_budget.hpp"

namespace simsieve {

std::vector<double> ratio_columns(const columns::StringColumn& a, const columns::StringColumn& b, uint64_t threads) {
  return with_thread_budget(threads, [&] {
    return parallel_map_collect<double>(a.size(), [&](size_t n) { return gestalt_ratio(a[n], b[n]); });
  });
}

std::vector<double> ratio_column_against(const columns::StringColumn& a, std::string_view b, uint64_t threads) {
  return with_thread_budget(threads, [&] {
    return parallel_map_collect<double>(a.size(), [&](size_t n) { return gestalt_ratio(a[n], b); });
  });
}

}  // namespace simsieve
