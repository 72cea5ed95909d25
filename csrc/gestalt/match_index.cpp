#include "gestalt/match_index.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <unordered_map>

#include "common/internal_error.hpp"
#include "gestalt/scratch.hpp"

namespace simsieve {
namespace detail {
namespace {

// Grows the suffix automaton of a string online, one code point at a time. The first four edges
// of a state are kept inline, further ones in a pooled singly linked list. One builder per
// thread, reset for each build, keeping its capacity (also for the compile step's temporaries).
struct AutomatonBuilder : ScratchArea {
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  struct State {
    uint32_t code[4];
    int32_t target[4];
    uint32_t edge_count;
    int32_t overflow_head;
    uint32_t len;
    int32_t link;
    int32_t first_end;
    uint32_t primary;
  };
  struct PoolNode {
    uint32_t code;
    int32_t target;
    int32_t next;
  };

  std::vector<State> states;
  std::vector<PoolNode> pool;
  // The root's edges live only here (it can have one per distinct code point of b, too many
  // for a list): ASCII in the table, the others in the map.
  std::array<int32_t, 128> root_table{};
  std::unordered_map<uint32_t, int32_t> root_wide;
  int32_t last = 0;
  // Compile-step temporaries.
  std::vector<uint32_t> order, bucket, cursor, depth, big_up;

  void reset(size_t n) {
    states.clear();
    pool.clear();
    root_wide.clear();
    states.reserve(2 * n + 1);
    root_table.fill(-1);
    last = new_state(0, -1, 0, 0);
  }

  int32_t new_state(uint32_t length, int32_t suffix_link, int32_t end, uint32_t is_primary) {
    ensure(states.size() < static_cast<size_t>(std::numeric_limits<int32_t>::max()), "state fits i32");
    states.push_back({{kEmpty, kEmpty, kEmpty, kEmpty}, {-1, -1, -1, -1}, 0, -1, length, suffix_link, end, is_primary});
    return static_cast<int32_t>(states.size() - 1);
  }

  // The slot holding s's target on c, or nullptr.
  int32_t* edge_slot(int32_t s, uint32_t c) {
    if (s == 0) {
      if (c < 128) return root_table[c] >= 0 ? &root_table[c] : nullptr;
      auto it = root_wide.find(c);
      return it == root_wide.end() ? nullptr : &it->second;
    }
    State& st = states[s];
    const uint32_t n = std::min<uint32_t>(st.edge_count, 4);
    for (uint32_t i = 0; i < n; ++i) {
      if (st.code[i] == c) return &st.target[i];
    }
    if (st.edge_count > 4) {
      for (int32_t node = st.overflow_head; node >= 0; node = pool[node].next) {
        if (pool[node].code == c) return &pool[node].target;
      }
    }
    return nullptr;
  }

  int32_t lookup(int32_t s, uint32_t c) {
    int32_t* slot = edge_slot(s, c);
    return slot ? *slot : -1;
  }

  void add_edge(int32_t s, uint32_t c, int32_t t) {
    State& st = states[s];
    if (s == 0) {
      if (c < 128) {
        root_table[c] = t;
      } else {
        root_wide.emplace(c, t);
      }
    } else if (st.edge_count <= 3) {
      st.code[st.edge_count] = c;
      st.target[st.edge_count] = t;
    } else {
      pool.push_back({c, t, st.overflow_head});
      st.overflow_head = static_cast<int32_t>(pool.size() - 1);
    }
    ++st.edge_count;
  }

  void extend(uint32_t c, uint32_t pos) {
    const int32_t cur = new_state(states[last].len + 1, -1, static_cast<int32_t>(pos), 1);
    int32_t p = last;
    int32_t q = -1;
    while (p != -1) {
      q = lookup(p, c);
      if (q >= 0) break;
      add_edge(p, c, cur);
      p = states[p].link;
    }
    if (p == -1) {
      states[cur].link = 0;
    } else if (states[p].len + 1 == states[q].len) {
      states[cur].link = q;
    } else {
      const int32_t clone = new_state(states[p].len + 1, states[q].link, states[q].first_end, 0);
      const uint32_t n = std::min<uint32_t>(states[q].edge_count, 4);
      for (uint32_t i = 0; i < n; ++i) add_edge(clone, states[q].code[i], states[q].target[i]);
      if (states[q].edge_count > 4) {
        for (int32_t node = states[q].overflow_head; node >= 0; node = pool[node].next) {
          add_edge(clone, pool[node].code, pool[node].target);
        }
      }
      while (p != -1) {
        int32_t* slot = edge_slot(p, c);
        if (slot == nullptr || *slot != q) break;
        *slot = clone;
        p = states[p].link;
      }
      states[q].link = clone;
      states[cur].link = clone;
    }
    last = cur;
  }
};

inline uint64_t pack_edge(uint32_t c, int32_t t) { return (uint64_t{c} << 32) | static_cast<uint32_t>(t); }
inline uint32_t edge_code(uint64_t e) { return static_cast<uint32_t>(e >> 32); }
inline uint32_t edge_target(uint64_t e) { return static_cast<uint32_t>(e); }

}  // namespace
}  // namespace detail

MatchIndex build_match_index(std::span<const uint32_t> b) {
  MatchIndex ix;
  build_match_index_into(b, ix);
  return ix;
}

void build_match_index_into(std::span<const uint32_t> b, MatchIndex& ix) {
  using detail::edge_code;
  using detail::edge_target;
  using BState = detail::AutomatonBuilder::State;
  ensure(b.size() < (size_t{1} << 30), "match index: string too long");
  detail::ScratchLease lease(detail::thread_area<detail::AutomatonBuilder>(), "automaton builder re-entered");
  detail::AutomatonBuilder& ab = *lease;
  const auto lb = static_cast<uint32_t>(b.size());
  ab.reset(lb);
  for (uint32_t i = 0; i < lb; ++i) ab.extend(b[i], i);

  ix.sorted_ends_.clear();
  ix.ends_tree_ = {};
  const auto n = static_cast<uint32_t>(ab.states.size());
  const BState* bs = ab.states.data();

  // Edge runs, each sorted by code point (codes are distinct within a state).
  ix.states_.resize(n);
  uint32_t total = 0;
  for (uint32_t s = 0; s < n; ++s) total += bs[s].edge_count;
  ix.edges_.resize(total);
  uint32_t lo = 0;
  for (uint32_t s = 0; s < n; ++s) {
    uint64_t* run = ix.edges_.data() + lo;
    uint32_t k = 0;
    if (s == 0) {
      for (uint32_t c = 0; c < 128; ++c) {
        if (ab.root_table[c] >= 0) run[k++] = detail::pack_edge(c, ab.root_table[c]);
      }
      for (const auto& [c, t] : ab.root_wide) run[k++] = detail::pack_edge(c, t);
      ensure(k == bs[s].edge_count, "automaton: edge count mismatch");
      std::sort(run, run + k);
      ix.states_[s].lo = lo;
      ix.states_[s].hi = lo + k;
      lo += k;
      continue;
    }
    const uint32_t inl = std::min<uint32_t>(bs[s].edge_count, 4);
    for (uint32_t i = 0; i < inl; ++i) run[k++] = detail::pack_edge(bs[s].code[i], bs[s].target[i]);
    if (bs[s].edge_count > 4) {
      for (int32_t node = bs[s].overflow_head; node >= 0; node = ab.pool[node].next) {
        run[k++] = detail::pack_edge(ab.pool[node].code, ab.pool[node].target);
      }
    }
    ensure(k == bs[s].edge_count, "automaton: edge count mismatch");
    if (k <= 16) {
      for (uint32_t i = 1; i < k; ++i) {
        uint64_t v = run[i];
        uint32_t j = i;
        for (; j > 0 && run[j - 1] > v; --j) run[j] = run[j - 1];
        run[j] = v;
      }
    } else {
      std::sort(run, run + k);
    }
    ix.states_[s].lo = lo;
    ix.states_[s].hi = lo + k;
    lo += k;
  }

  // Root table.
  ix.root_table_.fill(-1);
  for (uint64_t e : ix.edge_run(MatchIndex::kRoot)) {
    if (edge_code(e) >= 128) break;
    ensure(edge_target(e) <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max()), "state fits i32");
    ix.root_table_[edge_code(e)] = static_cast<int32_t>(edge_target(e));
  }

  // Prefix states, then state records.
  ix.prefix_states_.resize(lb);
  for (uint32_t s = 0; s < n; ++s) {
    if (bs[s].primary) ix.prefix_states_[bs[s].first_end] = static_cast<int32_t>(s);
  }
  for (uint32_t s = 0; s < n; ++s) {
    StateRecord& r = ix.states_[s];
    const uint64_t* first = ix.edges_.data() + r.lo;
    const uint64_t* last = ix.edges_.data() + r.hi;
    r.c0 = MatchIndex::kNoCode;
    r.t0 = 0;
    r.c1 = MatchIndex::kNoCode;
    r.t1 = 0;
    bool found = false;
    if (bs[s].primary) {
      const auto end = static_cast<uint32_t>(bs[s].first_end);
      if (end + 1 < lb) {
        // Reading b[end + 1] after the prefix b[0..end] leads to the state of b[0..end + 1], the
        // primary state created for position end + 1.
        r.c0 = b[end + 1];
        r.t0 = static_cast<uint32_t>(ix.prefix_states_[end + 1]);
        found = true;
      }
    }
    if (!found && first != last) {
      r.c0 = edge_code(*first);
      r.t0 = edge_target(*first);
    }
    for (const uint64_t* e = first; e != last; ++e) {
      if (edge_code(*e) != r.c0) {
        r.c1 = edge_code(*e);
        r.t1 = edge_target(*e);
        break;
      }
    }
    r.link = s == 0 ? 0 : static_cast<uint32_t>(bs[s].link);
    r.link_len = s == 0 ? 0 : bs[bs[s].link].len;
  }

  // States by len ascending (counting sort, stable in state number).
  auto& order = ab.order;
  order.resize(n);
  {
    auto& bucket = ab.bucket;
    bucket.assign(lb + 2, 0);
    for (uint32_t s = 0; s < n; ++s) ++bucket[bs[s].len + 1];
    for (uint32_t l = 1; l < bucket.size(); ++l) bucket[l] += bucket[l - 1];
    for (uint32_t s = 0; s < n; ++s) order[bucket[bs[s].len]++] = s;
  }

  // Position records: counts and max ends accumulate up the suffix-link tree.
  ix.positions_.resize(n);
  PositionRecord* pr = ix.positions_.data();
  for (uint32_t s = 0; s < n; ++s) {
    PositionRecord& p = pr[s];
    p.len = bs[s].len;
    p.link = ix.states_[s].link;
    p.link_len = ix.states_[s].link_len;
    p.sorted_offset = MatchIndex::kNoOffset;
    p.min_end = static_cast<uint32_t>(bs[s].first_end);
    p.max_end = bs[s].primary ? static_cast<uint32_t>(bs[s].first_end) : 0;
    p.slice_start = 0;
    p.count = bs[s].primary ? 1 : 0;
  }
  for (uint32_t k = n; k-- > 1;) {
    const PositionRecord& p = pr[order[k]];
    PositionRecord& up = pr[p.link];
    up.count += p.count;
    up.max_end = std::max(up.max_end, p.max_end);
  }

  // Slice layout: a state's slice is its own first end (when primary) followed by the slices of
  // its link children in ascending (len, state) order. Jump pointers and the nearest large
  // ancestor along the way (parents come before children in this order).
  auto& cursor = ab.cursor;
  auto& depth = ab.depth;
  auto& big_up = ab.big_up;
  cursor.resize(n);
  depth.resize(n);
  big_up.resize(n);
  ix.jumps_.resize(n);
  ix.end_positions_.resize(lb);
  cursor[0] = 0;
  depth[0] = 0;
  big_up[0] = MatchIndex::kRoot;
  ix.jumps_[0] = MatchIndex::kRoot;
  uint64_t big_total = 0;
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t s = order[k];
    PositionRecord& p = pr[s];
    if (s != MatchIndex::kRoot) {
      const uint32_t up = p.link;
      p.slice_start = cursor[up];
      cursor[up] += p.count;
      cursor[s] = p.slice_start;
      depth[s] = depth[up] + 1;
      const uint32_t j1 = ix.jumps_[up];
      const uint32_t j2 = ix.jumps_[j1];
      ix.jumps_[s] = (up != MatchIndex::kRoot && depth[up] - depth[j1] == depth[j1] - depth[j2]) ? j2 : up;
      const bool big = p.count > MatchIndex::kScanLimit;
      big_up[s] = big ? s : big_up[up];
      if (big) big_total += p.count;
    }
    if (bs[s].primary) ix.end_positions_[cursor[s]++] = static_cast<uint32_t>(bs[s].first_end);
  }

  // Range queries for the large states (the root is never searched).
  if (big_total > 0 && big_total <= uint64_t{MatchIndex::kSortedCopiesPerPosition} * lb) {
    // Sorted copies without sorting: walking b's end positions in ascending order and appending
    // each to every large state that holds it fills every copy in ascending order. The large
    // states holding an end are its prefix state's large ancestors.
    ix.sorted_ends_.resize(big_total);
    uint32_t offset = 0;
    for (uint32_t s = 1; s < n; ++s) {
      if (pr[s].count > MatchIndex::kScanLimit) {
        pr[s].sorted_offset = offset;
        cursor[s] = offset;
        offset += pr[s].count;
      }
    }
    uint32_t* out = ix.sorted_ends_.data();
    for (uint32_t e = 0; e < lb; ++e) {
      for (uint32_t s = big_up[ix.prefix_states_[e]]; s != MatchIndex::kRoot; s = big_up[pr[s].link]) {
        out[cursor[s]++] = e;
      }
    }
  } else if (big_total > 0) {
    const uint32_t bits = std::max<uint32_t>(1, static_cast<uint32_t>(std::bit_width(lb - 1)));
    ix.ends_tree_ = detail::WaveletMatrix(ix.end_positions_, bits);
  }
}

int32_t MatchIndex::find_in_run(uint32_t s, uint32_t c) const {
  const uint64_t* first = edges_.data() + states_[s].lo;
  const uint64_t* last = edges_.data() + states_[s].hi;
  if (last - first <= 8) {
    for (; first != last; ++first) {
      if (static_cast<uint32_t>(*first >> 32) == c) return static_cast<int32_t>(static_cast<uint32_t>(*first));
    }
    return -1;
  }
  const uint64_t key = uint64_t{c} << 32;
  const uint64_t* it = std::lower_bound(first, last, key);
  if (it != last && static_cast<uint32_t>(*it >> 32) == c) return static_cast<int32_t>(static_cast<uint32_t>(*it));
  return -1;
}

uint32_t MatchIndex::largest_end_at_most(uint32_t s, uint32_t bound) const {
  const PositionRecord& p = positions_[s];
  if (p.count == 0 || p.min_end > bound) return kNoEnd;
  if (p.max_end <= bound) return p.max_end;
  if (p.sorted_offset != kNoOffset) {
    const uint32_t* first = sorted_ends_.data() + p.sorted_offset;
    return *(std::upper_bound(first, first + p.count, bound) - 1);  // min_end <= bound
  }
  if (p.count > kScanLimit && !ends_tree_.empty()) {
    const uint32_t l = p.slice_start, r = p.slice_start + p.count;
    const uint32_t below = ends_tree_.count_less(l, r, bound + 1);
    return ends_tree_.kth_smallest(l, r, below - 1);  // below >= 1: min_end <= bound
  }
  uint32_t best = kNoEnd;
  for (uint32_t e : end_slice(s)) {
    if (e <= bound && (best == kNoEnd || e > best)) best = e;
  }
  return best;
}

uint32_t MatchIndex::smallest_end_at_least(uint32_t s, uint32_t bound) const {
  const PositionRecord& p = positions_[s];
  if (p.count == 0 || p.max_end < bound) return kNoEnd;
  if (p.min_end >= bound) return p.min_end;
  if (p.sorted_offset != kNoOffset) {
    const uint32_t* first = sorted_ends_.data() + p.sorted_offset;
    return *std::lower_bound(first, first + p.count, bound);  // max_end >= bound
  }
  if (p.count > kScanLimit && !ends_tree_.empty()) {
    const uint32_t l = p.slice_start, r = p.slice_start + p.count;
    const uint32_t below = ends_tree_.count_less(l, r, bound);
    return ends_tree_.kth_smallest(l, r, below);  // below < count: max_end >= bound
  }
  uint32_t best = kNoEnd;
  for (uint32_t e : end_slice(s)) {
    if (e >= bound && e < best) best = e;
  }
  return best;
}

int32_t MatchIndex::walk(std::span<const uint32_t> s) const {
  uint32_t state = kRoot;
  for (uint32_t c : s) {
    const int32_t t = find_edge(state, c);
    if (t < 0) return -1;
    state = static_cast<uint32_t>(t);
  }
  return static_cast<int32_t>(state);
}

}  // namespace simsieve
