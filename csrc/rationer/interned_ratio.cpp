#include "rationer/interned_ratio.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>

#include "common/internal_error.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "rationer/string_interner.hpp"

namespace simsieve {

namespace {

struct PairIds {
  uint32_t a_id;
  uint32_t b_id;
};

// out[k] = f(k) for every k in [0, n), in index order.
template <class T, class F>
std::vector<T> map_range(size_t n, F&& f) {
  std::vector<T> out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) out.push_back(f(k));
  return out;
}

}  // namespace

std::vector<double> interned_ratio_many(const std::vector<std::pair<std::string, std::string>>& pairs) {
  const size_t n = pairs.size();
  if (n == 0) return {};
  if (n > kMaxInternedItems) throw BatchLimitError("a ratio batch can hold at most 4294967295 pairs");

  // Ids in order of first appearance, a before b within a pair.
  std::vector<PairIds> ids(n);
  std::vector<std::string> strings;
  {
    StringInterner interner;
    for (size_t i = 0; i < n; ++i) {
      ids[i].a_id = interner.intern(pairs[i].first);
      ids[i].b_id = interner.intern(pairs[i].second);
    }
    strings = interner.take_strings();
  }

  const std::vector<std::vector<uint32_t>> code_points =
      map_range<std::vector<uint32_t>>(strings.size(), [&](size_t id) { return decode_utf8(strings[id]); });
  std::vector<std::string>().swap(strings);
  const std::vector<MatchIndex> indexes =
      map_range<MatchIndex>(code_points.size(), [&](size_t id) { return build_match_index(code_points[id]); });

  // Grouped by second string, then first: equal keys are identical pairs, so stability is moot.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), uint32_t{0});
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return ids[x].b_id != ids[y].b_id ? ids[x].b_id < ids[y].b_id : ids[x].a_id < ids[y].a_id;
  });

  const std::vector<std::pair<uint32_t, double>> evaluated =
      map_range<std::pair<uint32_t, double>>(n, [&](size_t k) {
        const uint32_t i = order[k];
        const std::vector<uint32_t>& a = code_points[ids[i].a_id];
        const std::vector<uint32_t>& b = code_points[ids[i].b_id];
        const uint64_t total = uint64_t{a.size()} + b.size();
        if (total == 0) return std::pair{i, 1.0};
        if (a.empty()) return std::pair{i, 0.0};
        const uint64_t matches = count_matches(a, indexes[ids[i].b_id], b);
        return std::pair{i, 2.0 * static_cast<double>(matches) / static_cast<double>(total)};
      });

  std::vector<double> out(n, 0.0);
  for (const auto& [i, r] : evaluated) out[i] = r;
  return out;
}

}  // namespace simsieve
