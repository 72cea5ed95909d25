#include "rationer/interned_ratio.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <span>

#include "gestalt/codepoints.hpp"
#include "gestalt/gestalt.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "pool/parallel.hpp"
#include "rationer/string_interner.hpp"

namespace simsieve {

namespace {

// Second strings shared by at least this many pairs are indexed once for all of them.
constexpr uint32_t kSharedIndexMinPairs = 4;

struct PairIds {
  uint32_t a_id;
  uint32_t b_id;
};

}  // namespace

std::vector<double> interned_ratio_many(const std::vector<std::pair<std::string, std::string>>& pairs) {
  const size_t n = pairs.size();
  if (n == 0) return {};
  if (n > kMaxInternedItems) throw BatchLimitError("a ratio batch can hold at most 4294967295 pairs");

  // Ids in order of first appearance, a before b within a pair.
  std::vector<PairIds> ids(n);
  std::vector<std::string_view> strings;  // views of the caller's strings
  {
    StringInterner interner;
    // A string that repeats the same side of the previous pair (one string against many) skips
    // the hash lookup.
    auto intern_side = [&interner](std::string_view text, std::string_view& last, uint32_t& last_id) {
      if (last.data() == nullptr || text != last) {
        last_id = interner.intern(text);
        last = text;
      }
      return last_id;
    };
    std::string_view last_a, last_b;
    uint32_t last_a_id = 0, last_b_id = 0;
    for (size_t i = 0; i < n; ++i) {
      ids[i].a_id = intern_side(pairs[i].first, last_a, last_a_id);
      ids[i].b_id = intern_side(pairs[i].second, last_b, last_b_id);
    }
    strings = interner.take_strings();
  }

  // A second string shared by enough pairs gets one match index that all of them are counted
  // against. A second string of fewer pairs gains little from that, and its pairs are computed
  // as the module's ratio computes each pair, which picks the cheaper of its two exact
  // algorithms (for short dissimilar strings, building an index costs more than it saves).
  // index_slot[id] is the position of the string's index in `indexes`.
  constexpr uint32_t kNoIndex = 0xFFFFFFFFu;
  std::vector<uint32_t> index_slot(strings.size(), 0);  // pair counts first
  for (const PairIds& p : ids) {
    if (index_slot[p.b_id] < kSharedIndexMinPairs) ++index_slot[p.b_id];
  }
  std::vector<uint32_t> indexed_ids;
  for (uint32_t id = 0; id < index_slot.size(); ++id) {
    if (index_slot[id] >= kSharedIndexMinPairs) {
      index_slot[id] = static_cast<uint32_t>(indexed_ids.size());
      indexed_ids.push_back(id);
    } else {
      index_slot[id] = kNoIndex;
    }
  }
  // Code points are needed only by the pairs counted against an index.
  std::vector<unsigned char> decoded(strings.size(), 0);
  for (const PairIds& p : ids) {
    if (index_slot[p.b_id] != kNoIndex) decoded[p.a_id] = decoded[p.b_id] = 1;
  }

  const std::vector<std::vector<uint32_t>> code_points = parallel_map_collect<std::vector<uint32_t>>(
      strings.size(), [&](size_t id) { return decoded[id] ? decode_utf8(strings[id]) : std::vector<uint32_t>{}; });
  const std::vector<MatchIndex> indexes = parallel_map_collect<MatchIndex>(
      indexed_ids.size(), [&](size_t slot) { return build_match_index(code_points[indexed_ids[slot]]); });

  // Grouped by second string, then first: equal keys are identical pairs, so stability is moot.
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), uint32_t{0});
  std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    return ids[x].b_id != ids[y].b_id ? ids[x].b_id < ids[y].b_id : ids[x].a_id < ids[y].a_id;
  });

  const std::vector<std::pair<uint32_t, double>> evaluated =
      parallel_map_collect<std::pair<uint32_t, double>>(n, [&](size_t k) {
        const uint32_t i = order[k];
        const uint32_t slot = index_slot[ids[i].b_id];
        if (slot == kNoIndex) return std::pair{i, gestalt_ratio(strings[ids[i].a_id], strings[ids[i].b_id])};
        const std::vector<uint32_t>& a = code_points[ids[i].a_id];
        const std::vector<uint32_t>& b = code_points[ids[i].b_id];
        const uint64_t total = uint64_t{a.size()} + b.size();
        if (total == 0) return std::pair{i, 1.0};
        if (a.empty()) return std::pair{i, 0.0};
        const uint64_t matches = count_matches(a, indexes[slot], b);
        return std::pair{i, 2.0 * static_cast<double>(matches) / static_cast<double>(total)};
      });

  std::vector<double> out(n, 0.0);
  for (const auto& [i, r] : evaluated) out[i] = r;
  return out;
}

}  // namespace simsieve
