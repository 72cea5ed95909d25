#include "rationer/interned_ratio.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "gestalt/codepoints.hpp"
#include "gestalt/gestalt.hpp"
#include "gestalt/match_count.hpp"
#include "gestalt/match_index.hpp"
#include "gestalt/sparse_ratio.hpp"
#include "gestalt/work_factor.hpp"
#include "pool/parallel.hpp"
#include "rationer/string_interner.hpp"

namespace simsieve {

namespace {

// A second string met by at least this many distinct pairs is prepared once for all of them.
// Below that, preparing it costs about what it saves, and its pairs go through gestalt_ratio.
constexpr uint32_t kSharedMinPairs = 4;

// Longest shared second string that the sparse search may take instead of the shared index.
constexpr size_t kSparseSharedMaxLength = 64;

constexpr uint32_t kNone = 0xFFFFFFFFu;

struct PairIds {
  uint32_t a_id;
  uint32_t b_id;
};

// A pair's sort key (b_id in the high half, a_id in the low half) and its input position.
struct KeyedPair {
  uint64_t key;
  uint32_t index;
};

uint32_t a_of(uint64_t key) { return static_cast<uint32_t>(key); }
uint32_t b_of(uint64_t key) { return static_cast<uint32_t>(key >> 32); }

uint64_t saturating_mul(uint64_t x, uint64_t y) {
  uint64_t r;
  return __builtin_mul_overflow(x, y, &r) ? UINT64_MAX : r;
}

// Everything prepared once for a shared second string: its histogram when it is ASCII (for the
// sparse search) and, when one of its pairs needs it, its match index.
struct SharedSecond {
  uint32_t id = 0;
  bool ascii = false;
  AsciiHistogram histogram;
  MatchIndex index;
};

// Interns both members of every pair in input order, a before b: ids by first appearance.
std::vector<PairIds> intern_pairs(const std::vector<std::pair<std::string, std::string>>& pairs,
                                  std::vector<std::string_view>& strings) {
  std::vector<PairIds> ids(pairs.size());
  StringInterner interner(std::min<size_t>(pairs.size() * 2, size_t{1} << 22));
  // A string that repeats the same side of the previous pair (one string against many) skips
  // the hash lookup; it would get the same id anyway.
  auto intern_side = [&interner](std::string_view text, std::string_view& last, uint32_t& last_id) {
    if (last.data() == nullptr || text != last) {
      last_id = interner.intern(text);
      last = text;
    }
    return last_id;
  };
  std::string_view last_a, last_b;
  uint32_t last_a_id = 0, last_b_id = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    ids[i].a_id = intern_side(pairs[i].first, last_a, last_a_id);
    ids[i].b_id = intern_side(pairs[i].second, last_b, last_b_id);
  }
  strings = interner.take_strings();
  return ids;
}

}  // namespace

std::vector<double> interned_ratio_many(const std::vector<std::pair<std::string, std::string>>& pairs) {
  const size_t n = pairs.size();
  if (n == 0) return {};
  if (n > kMaxInternedItems) throw BatchLimitError("a ratio batch can hold at most 4294967295 pairs");

  std::vector<std::string_view> strings;  // views of the caller's strings, by id
  const std::vector<PairIds> ids = intern_pairs(pairs, strings);

  // Grouped by second string, then first. Equal keys are identical pairs: each distinct pair
  // (a run of equal keys) is evaluated once and its ratio handed to every occurrence.
  std::vector<KeyedPair> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = {uint64_t{ids[i].b_id} << 32 | ids[i].a_id, static_cast<uint32_t>(i)};
  std::sort(order.begin(), order.end(), [](const KeyedPair& x, const KeyedPair& y) { return x.key < y.key; });
  std::vector<uint32_t> run_starts;
  for (size_t k = 0; k < n; ++k) {
    if (k == 0 || order[k].key != order[k - 1].key) run_starts.push_back(static_cast<uint32_t>(k));
  }
  const size_t runs = run_starts.size();
  run_starts.push_back(static_cast<uint32_t>(n));
  std::vector<uint64_t> run_keys(runs);
  for (size_t r = 0; r < runs; ++r) run_keys[r] = order[run_starts[r]].key;

  // Second strings met by enough distinct pairs; shared_slot[id] is their position in `shared`.
  std::vector<uint32_t> shared_slot(strings.size(), 0);  // distinct pair counts first
  for (uint64_t key : run_keys) {
    uint32_t& count = shared_slot[b_of(key)];
    if (count < kSharedMinPairs) ++count;
  }
  std::vector<uint32_t> shared_ids;
  for (uint32_t id = 0; id < shared_slot.size(); ++id) {
    if (shared_slot[id] >= kSharedMinPairs) {
      shared_slot[id] = static_cast<uint32_t>(shared_ids.size());
      shared_ids.push_back(id);
    } else {
      shared_slot[id] = kNone;
    }
  }

  // Code points, each distinct string decoded once: only the pairs of shared second strings use
  // them, the other pairs decode inside gestalt_ratio.
  std::vector<unsigned char> wanted(strings.size(), 0);
  for (uint64_t key : run_keys) {
    if (shared_slot[b_of(key)] != kNone) wanted[a_of(key)] = wanted[b_of(key)] = 1;
  }
  const std::vector<std::vector<uint32_t>> code_points = parallel_map_collect<std::vector<uint32_t>>(
      strings.size(), [&](size_t id) { return wanted[id] ? decode_utf8(strings[id]) : std::vector<uint32_t>{}; });
  // UTF-8 spends one byte on a code point exactly when it is ASCII.
  auto is_ascii = [&](uint32_t id) { return code_points[id].size() == strings[id].size(); };

  std::vector<SharedSecond> shared = parallel_map_collect<SharedSecond>(shared_ids.size(), [&](size_t slot) {
    SharedSecond s;
    s.id = shared_ids[slot];
    s.ascii = is_ascii(s.id);
    if (s.ascii) s.histogram = ascii_histogram(code_points[s.id]);
    return s;
  });

  // The algorithm of each pair of a shared second string. Both are exact; the choice only decides
  // the cost. The index is built once here, so it is the choice unless b is short enough for the
  // sparse search's in-register rows and the pair passes gestalt_ratio's own work test (equal-code-
  // point position pairs within the work factor), which the sparse search then wins.
  const uint64_t factor = work_factor();
  const std::vector<unsigned char> sparse = parallel_map_collect<unsigned char>(runs, [&](size_t r) -> unsigned char {
    const uint32_t slot = shared_slot[b_of(run_keys[r])];
    if (slot == kNone || !shared[slot].ascii || !is_ascii(a_of(run_keys[r]))) return 0;
    const std::vector<uint32_t>& a = code_points[a_of(run_keys[r])];
    const std::vector<uint32_t>& b = code_points[shared[slot].id];
    if (b.size() > kSparseSharedMaxLength) return 0;
    uint64_t position_pairs = 0;
    for (uint32_t c : a) position_pairs += shared[slot].histogram.counts[c];
    return position_pairs <= saturating_mul(factor, a.size() + b.size()) ? 1 : 0;
  });

  // Indexes only for the shared second strings that one of their pairs searches through one.
  std::vector<unsigned char> index_wanted(shared.size(), 0);
  for (size_t r = 0; r < runs; ++r) {
    const uint32_t slot = shared_slot[b_of(run_keys[r])];
    // (an empty string is never searched: its pairs have ratio 0 or 1 outright)
    if (slot != kNone && !sparse[r] && !code_points[shared[slot].id].empty()) index_wanted[slot] = 1;
  }
  parallel_for_each(shared.size(), [&](size_t slot) {
    if (index_wanted[slot]) shared[slot].index = build_match_index(code_points[shared[slot].id]);
  });

  const std::vector<double> run_ratios = parallel_map_collect<double>(runs, [&](size_t r) {
    const uint32_t a_id = a_of(run_keys[r]), b_id = b_of(run_keys[r]);
    const uint32_t slot = shared_slot[b_id];
    if (slot == kNone) return gestalt_ratio(strings[a_id], strings[b_id]);
    const std::vector<uint32_t>& a = code_points[a_id];
    const std::vector<uint32_t>& b = code_points[b_id];
    const uint64_t total = uint64_t{a.size()} + b.size();
    if (total == 0) return 1.0;
    if (a.empty() || b.empty()) return 0.0;
    const uint64_t matches =
        sparse[r] ? sparse_match_count(a, b, shared[slot].histogram) : count_matches(a, shared[slot].index, b);
    return 2.0 * static_cast<double>(matches) / static_cast<double>(total);
  });

  // Scatter back to input order; every position is written exactly once.
  std::vector<double> out(n, 0.0);
  for (size_t r = 0; r < runs; ++r) {
    for (uint32_t k = run_starts[r]; k < run_starts[r + 1]; ++k) out[order[k].index] = run_ratios[r];
  }
  return out;
}

}  // namespace simsieve
