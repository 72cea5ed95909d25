#include "gestalt/match_index.hpp"

#include <algorithm>
#include <bit>
#include <limits>

#include "common/internal_error.hpp"
#include "gestalt/scratch.hpp"

namespace simsieve {
namespace detail {
namespace {

// Grows the suffix automaton of a string online, one code point at a time. Per-state data lives
// in parallel arrays; the first four edges of a state are kept inline, further ones in a pooled
// singly linked list. One builder per thread, reset for each build, keeping its capacity.
struct AutomatonBuilder : ScratchArea {
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  struct InlineEdges {
    uint32_t code[4];
    int32_t target[4];
  };

  std::vector<InlineEdges> inline_edges;
  std::vector<uint32_t> edge_count;
  std::vector<int32_t> overflow_head;
  std::vector<uint32_t> pool_code;
  std::vector<int32_t> pool_target;
  std::vector<int32_t> pool_next;
  std::vector<uint32_t> len;
  std::vector<int32_t> link;
  std::vector<int32_t> first_end;
  std::vector<uint8_t> primary;
  std::array<int32_t, 128> root_table{};
  int32_t last = 0;

  void reset(size_t n) {
    inline_edges.clear();
    edge_count.clear();
    overflow_head.clear();
    pool_code.clear();
    pool_target.clear();
    pool_next.clear();
    len.clear();
    link.clear();
    first_end.clear();
    primary.clear();
    const size_t states = 2 * n + 1;
    inline_edges.reserve(states);
    edge_count.reserve(states);
    overflow_head.reserve(states);
    len.reserve(states);
    link.reserve(states);
    first_end.reserve(states);
    primary.reserve(states);
    root_table.fill(-1);
    last = new_state(0, -1, 0, 0);
  }

  int32_t new_state(uint32_t length, int32_t suffix_link, int32_t end, uint8_t is_primary) {
    ensure(len.size() < static_cast<size_t>(std::numeric_limits<int32_t>::max()), "state fits i32");
    inline_edges.push_back({{kEmpty, kEmpty, kEmpty, kEmpty}, {-1, -1, -1, -1}});
    edge_count.push_back(0);
    overflow_head.push_back(-1);
    len.push_back(length);
    link.push_back(suffix_link);
    first_end.push_back(end);
    primary.push_back(is_primary);
    return static_cast<int32_t>(len.size() - 1);
  }

  // The slot holding s's target on c, or nullptr.
  int32_t* edge_slot(int32_t s, uint32_t c) {
    InlineEdges& e = inline_edges[s];
    const uint32_t n = std::min<uint32_t>(edge_count[s], 4);
    for (uint32_t i = 0; i < n; ++i) {
      if (e.code[i] == c) return &e.target[i];
    }
    if (edge_count[s] > 4) {
      for (int32_t node = overflow_head[s]; node >= 0; node = pool_next[node]) {
        if (pool_code[node] == c) return &pool_target[node];
      }
    }
    return nullptr;
  }

  int32_t lookup(int32_t s, uint32_t c) {
    if (s == 0 && c < 128) return root_table[c];
    int32_t* slot = edge_slot(s, c);
    return slot ? *slot : -1;
  }

  void add_edge(int32_t s, uint32_t c, int32_t t) {
    uint32_t& n = edge_count[s];
    if (n <= 3) {
      inline_edges[s].code[n] = c;
      inline_edges[s].target[n] = t;
    } else {
      pool_code.push_back(c);
      pool_target.push_back(t);
      pool_next.push_back(overflow_head[s]);
      overflow_head[s] = static_cast<int32_t>(pool_code.size() - 1);
    }
    ++n;
    if (s == 0 && c < 128) root_table[c] = t;
  }

  void redirect(int32_t s, uint32_t c, int32_t t) {
    int32_t* slot = edge_slot(s, c);
    ensure(slot != nullptr, "automaton: redirected edge missing");
    *slot = t;
    if (s == 0 && c < 128) root_table[c] = t;
  }

  void extend(uint32_t c, uint32_t pos) {
    const int32_t cur = new_state(len[last] + 1, -1, static_cast<int32_t>(pos), 1);
    int32_t p = last;
    while (p != -1 && lookup(p, c) < 0) {
      add_edge(p, c, cur);
      p = link[p];
    }
    if (p == -1) {
      link[cur] = 0;
    } else {
      const int32_t q = lookup(p, c);
      if (len[p] + 1 == len[q]) {
        link[cur] = q;
      } else {
        const int32_t clone = new_state(len[p] + 1, link[q], first_end[q], 0);
        const uint32_t n = std::min<uint32_t>(edge_count[q], 4);
        for (uint32_t i = 0; i < n; ++i) add_edge(clone, inline_edges[q].code[i], inline_edges[q].target[i]);
        if (edge_count[q] > 4) {
          for (int32_t node = overflow_head[q]; node >= 0; node = pool_next[node]) {
            add_edge(clone, pool_code[node], pool_target[node]);
          }
        }
        while (p != -1 && lookup(p, c) == q) {
          redirect(p, c, clone);
          p = link[p];
        }
        link[q] = clone;
        link[cur] = clone;
      }
    }
    last = cur;
  }
};

thread_local AutomatonBuilder tls_builder;

inline uint64_t pack_edge(uint32_t c, int32_t t) { return (uint64_t{c} << 32) | static_cast<uint32_t>(t); }
inline uint32_t edge_code(uint64_t e) { return static_cast<uint32_t>(e >> 32); }
inline uint32_t edge_target(uint64_t e) { return static_cast<uint32_t>(e); }

}  // namespace
}  // namespace detail

MatchIndex build_match_index(std::span<const uint32_t> b) {
  using detail::edge_code;
  using detail::edge_target;
  ensure(b.size() < (size_t{1} << 30), "match index: string too long");
  detail::ScratchLease lease(detail::tls_builder, "automaton builder re-entered");
  detail::AutomatonBuilder& ab = *lease;
  const auto lb = static_cast<uint32_t>(b.size());
  ab.reset(lb);
  for (uint32_t i = 0; i < lb; ++i) ab.extend(b[i], i);

  MatchIndex ix;
  const auto n = static_cast<uint32_t>(ab.len.size());

  // Edge runs, each sorted by code point (codes are distinct within a state).
  ix.states_.resize(n);
  uint32_t total = 0;
  for (uint32_t s = 0; s < n; ++s) total += ab.edge_count[s];
  ix.edges_.resize(total);
  uint32_t lo = 0;
  for (uint32_t s = 0; s < n; ++s) {
    uint64_t* run = ix.edges_.data() + lo;
    uint32_t k = 0;
    const uint32_t inl = std::min<uint32_t>(ab.edge_count[s], 4);
    for (uint32_t i = 0; i < inl; ++i) run[k++] = detail::pack_edge(ab.inline_edges[s].code[i], ab.inline_edges[s].target[i]);
    if (ab.edge_count[s] > 4) {
      for (int32_t node = ab.overflow_head[s]; node >= 0; node = ab.pool_next[node]) {
        run[k++] = detail::pack_edge(ab.pool_code[node], ab.pool_target[node]);
      }
    }
    ensure(k == ab.edge_count[s], "automaton: edge count mismatch");
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

  // State records.
  for (uint32_t s = 0; s < n; ++s) {
    StateRecord& r = ix.states_[s];
    std::span<const uint64_t> run = ix.edge_run(s);
    r.c0 = MatchIndex::kNoCode;
    r.t0 = 0;
    r.c1 = MatchIndex::kNoCode;
    r.t1 = 0;
    bool found = false;
    if (ab.primary[s] && static_cast<uint32_t>(ab.first_end[s]) + 1 < lb) {
      const uint32_t want = b[static_cast<uint32_t>(ab.first_end[s]) + 1];
      int32_t t = ix.find_in_run(s, want);
      if (t >= 0) {
        r.c0 = want;
        r.t0 = static_cast<uint32_t>(t);
        found = true;
      }
    }
    if (!found && !run.empty()) {
      r.c0 = edge_code(run[0]);
      r.t0 = edge_target(run[0]);
    }
    for (uint64_t e : run) {
      if (edge_code(e) != r.c0) {
        r.c1 = edge_code(e);
        r.t1 = edge_target(e);
        break;
      }
    }
    r.link = s == 0 ? 0 : static_cast<uint32_t>(ab.link[s]);
    r.link_len = s == 0 ? 0 : ab.len[ab.link[s]];
  }

  // Prefix states.
  ix.prefix_states_.assign(lb, -1);
  for (uint32_t s = 0; s < n; ++s) {
    if (ab.primary[s]) ix.prefix_states_[ab.first_end[s]] = static_cast<int32_t>(s);
  }

  // States by len ascending (counting sort, stable in state number).
  std::vector<uint32_t> order(n);
  {
    std::vector<uint32_t> bucket(lb + 2, 0);
    for (uint32_t s = 0; s < n; ++s) ++bucket[ab.len[s] + 1];
    for (uint32_t l = 1; l < bucket.size(); ++l) bucket[l] += bucket[l - 1];
    for (uint32_t s = 0; s < n; ++s) order[bucket[ab.len[s]]++] = s;
  }

  // Position records: counts and max ends accumulate up the suffix-link tree.
  ix.positions_.resize(n);
  for (uint32_t s = 0; s < n; ++s) {
    PositionRecord& p = ix.positions_[s];
    p.len = ab.len[s];
    p.link = ix.states_[s].link;
    p.link_len = ix.states_[s].link_len;
    p.jump = 0;
    p.min_end = static_cast<uint32_t>(ab.first_end[s]);
    p.max_end = ab.primary[s] ? static_cast<uint32_t>(ab.first_end[s]) : 0;
    p.slice_start = 0;
    p.count = ab.primary[s] ? 1 : 0;
  }
  for (uint32_t k = n; k-- > 1;) {
    const uint32_t s = order[k];
    PositionRecord& p = ix.positions_[s];
    PositionRecord& up = ix.positions_[p.link];
    up.count += p.count;
    up.max_end = std::max(up.max_end, p.max_end);
  }

  // Slice layout: a state's slice is its own first end (when primary) followed by the slices of
  // its link children in ascending (len, state) order. Jump pointers along the way (parents come
  // before children in this order).
  {
    std::vector<uint32_t> cursor(n, 0);
    std::vector<uint32_t> depth(n, 0);
    ix.end_positions_.assign(lb, 0);
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t s = order[k];
      PositionRecord& p = ix.positions_[s];
      if (s != MatchIndex::kRoot) {
        const uint32_t up = p.link;
        p.slice_start = cursor[up];
        cursor[up] += p.count;
        cursor[s] = p.slice_start;
        depth[s] = depth[up] + 1;
        const uint32_t j1 = ix.positions_[up].jump;
        const uint32_t j2 = ix.positions_[j1].jump;
        p.jump = (up != MatchIndex::kRoot && depth[up] - depth[j1] == depth[j1] - depth[j2]) ? j2 : up;
      }
      if (ab.primary[s]) ix.end_positions_[cursor[s]++] = static_cast<uint32_t>(ab.first_end[s]);
    }
  }

  // Range tree over the end positions, needed only when some state is too large to scan.
  bool big = false;
  for (uint32_t s = 1; s < n && !big; ++s) big = ix.positions_[s].count > MatchIndex::kScanLimit;
  if (big) {
    const uint32_t bits = std::max<uint32_t>(1, static_cast<uint32_t>(std::bit_width(lb - 1)));
    ix.ends_tree_ = detail::WaveletMatrix(ix.end_positions_, bits);
  }
  return ix;
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
