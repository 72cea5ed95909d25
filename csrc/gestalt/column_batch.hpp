// The batch ratio over columns: element-wise ratios of two string columns read in place (or of
// every item of one column against one string), across the call's thread budget.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "columns/string_column.hpp"

namespace simsieve {

// out[n] = gestalt_ratio(a[n], b[n]); a and b have the same size. threads as for ratio_batch.
std::vector<double> ratio_columns(const columns::StringColumn& a, const columns::StringColumn& b, uint64_t threads);
// out[n] = gestalt_ratio(a[n], b).
std::vector<double> ratio_column_against(const columns::StringColumn& a, std::string_view b, uint64_t threads);

}  // namespace simsieve
