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
// of a state are kept inline, further ones in a pooled singly linked list. A state whose list
// grows long (short contexts of text fan out to dozens of characters, and their lists would be
// scanned on almost every step) also gets a dense table from ASCII code point to list node.
// One builder per
// thread, reset for each build, keeping its capacity (also for the compile step's temporaries):
// the state array only grows, and a state's fields are all written when it is created.
struct AutomatonBuilder : ScratchArea {
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  struct State {
    uint32_t code[4];
    int32_t target[4];
    uint32_t edge_count;
    int32_t overflow_head;
    int32_t dense;  // its table in dense_tables, or -1
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

  // List node of each ASCII code point, or -1.
  using DenseTable = std::array<int32_t, 128>;
  // Edge count from which a state's list is indexed by a dense table.
  static constexpr uint32_t kDenseFrom = 12;

  std::vector<State> states;
  uint32_t state_count = 0;
  std::vector<PoolNode> pool;
  std::vector<DenseTable> dense_tables;
  uint32_t dense_count = 0;
  // The root's edges live only here (it can have one per distinct code point of b, too many
  // for a list): ASCII in the table, the others in the map.
  std::array<int32_t, 128> root_table{};
  std::unordered_map<uint32_t, int32_t> root_wide;
  int32_t last = 0;
  // Compile-step temporaries.
  std::vector<uint32_t> order, bucket, cursor, depth, big_up;
  std::vector<uint64_t> runs;

  // A string of n code points has at most 2n - 1 states (n >= 2), the root included.
  void reset(size_t n) {
    if (states.size() < 2 * n + 1) states.resize(2 * n + 1);
    state_count = 0;
    dense_count = 0;
    pool.clear();
    if (!root_wide.empty()) root_wide.clear();
    root_table.fill(-1);
    last = new_state(0, -1, 0, 0);
  }

  int32_t new_state(uint32_t length, int32_t suffix_link, int32_t end, uint32_t is_primary) {
    const auto id = static_cast<int32_t>(state_count++);
    states[static_cast<size_t>(id)] = {{kEmpty, kEmpty, kEmpty, kEmpty}, {-1, -1, -1, -1}, 0, -1, -1, length, suffix_link, end, is_primary};
    return id;
  }

  // Gives st a dense table over the ASCII edges of its list.
  void index_list(State& st) {
    if (dense_count == dense_tables.size()) dense_tables.emplace_back();
    DenseTable& table = dense_tables[dense_count];
    table.fill(-1);
    for (int32_t node = st.overflow_head; node >= 0; node = pool[static_cast<size_t>(node)].next) {
      if (pool[static_cast<size_t>(node)].code < 128) table[pool[static_cast<size_t>(node)].code] = node;
    }
    st.dense = static_cast<int32_t>(dense_count++);
  }

  // The slot holding s's target on c, or nullptr.
  int32_t* edge_slot(int32_t s, uint32_t c) {
    if (s == 0) {
      if (c < 128) return root_table[c] >= 0 ? &root_table[c] : nullptr;
      auto it = root_wide.find(c);
      return it == root_wide.end() ? nullptr : &it->second;
    }
    State& st = states[static_cast<size_t>(s)];
    // Unused inline codes hold kEmpty, which no code point equals: no count check needed.
    for (uint32_t i = 0; i < 4; ++i) {
      if (st.code[i] == c) return &st.target[i];
    }
    if (st.edge_count <= 4) return nullptr;
    if (c < 128 && st.dense >= 0) {
      const int32_t node = dense_tables[static_cast<size_t>(st.dense)][c];
      return node >= 0 ? &pool[static_cast<size_t>(node)].target : nullptr;
    }
    for (int32_t node = st.overflow_head; node >= 0; node = pool[static_cast<size_t>(node)].next) {
      if (pool[static_cast<size_t>(node)].code == c) return &pool[static_cast<size_t>(node)].target;
    }
    return nullptr;
  }

  void add_edge(int32_t s, uint32_t c, int32_t t) {
    State& st = states[static_cast<size_t>(s)];
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
      if (st.dense >= 0) {
        if (c < 128) dense_tables[static_cast<size_t>(st.dense)][c] = st.overflow_head;
      } else if (st.edge_count + 1 == kDenseFrom) {
        index_list(st);
      }
    }
    ++st.edge_count;
  }

  // Appends b[pos] = c; returns the state of the prefix b[0..pos].
  int32_t extend(uint32_t c, uint32_t pos) {
    const int32_t cur = new_state(states[static_cast<size_t>(last)].len + 1, -1, static_cast<int32_t>(pos), 1);
    State* st = states.data();
    int32_t p = last;
    int32_t q = -1;
    while (p != -1) {
      int32_t* slot = edge_slot(p, c);
      if (slot) {
        q = *slot;
        break;
      }
      add_edge(p, c, cur);
      p = st[p].link;
    }
    if (p == -1) {
      st[cur].link = 0;
    } else if (st[p].len + 1 == st[q].len) {
      st[cur].link = q;
    } else {
      const int32_t clone = new_state(st[p].len + 1, st[q].link, st[q].first_end, 0);
      // A clone copies q's edges as they stand (q is never the root, which has length 0).
      State& cl = st[clone];
      const State& qs = st[q];
      for (uint32_t i = 0; i < 4; ++i) {
        cl.code[i] = qs.code[i];
        cl.target[i] = qs.target[i];
      }
      cl.edge_count = std::min<uint32_t>(qs.edge_count, 4);
      if (qs.edge_count > 4) {
        for (int32_t node = qs.overflow_head; node >= 0; node = pool[static_cast<size_t>(node)].next) {
          add_edge(clone, pool[static_cast<size_t>(node)].code, pool[static_cast<size_t>(node)].target);
        }
      }
      while (p != -1) {
        int32_t* slot = edge_slot(p, c);
        if (slot == nullptr || *slot != q) break;
        *slot = clone;
        p = st[p].link;
      }
      st[q].link = clone;
      st[cur].link = clone;
    }
    last = cur;
    return cur;
  }
};

// Sizes v to at least n, keeping what it holds: an index rebuilt in place neither shrinks nor
// refills its arrays (only the first n entries are meaningful).
template <class Vector>
void grow_to(Vector& v, size_t n) {
  if (v.size() < n) v.resize(n);
}

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
  detail::grow_to(ix.prefix_states_, lb);
  ix.length_ = lb;
  for (uint32_t i = 0; i < lb; ++i) ix.prefix_states_[i] = ab.extend(b[i], i);

  ix.has_sorted_ = false;
  ix.ends_tree_ = {};
  const uint32_t n = ab.state_count;
  const BState* bs = ab.states.data();

  // One pass over the states fills the state records (preferred and second edge, edge runs),
  // the position records' own fields, and the length histogram of the counting sort below.
  // A state with at most two edges keeps them in (c0, t0), (c1, t1) alone and gets an empty run;
  // a run is sorted by code point when it is long enough to be binary-searched (codes are
  // distinct within a state).
  ix.state_count_ = n;
  detail::grow_to(ix.states_, n);
  detail::grow_to(ix.positions_, n);
  auto& bucket = ab.bucket;
  bucket.assign(lb + 2, 0);
  StateRecord* sr = ix.states_.data();
  PositionRecord* pr = ix.positions_.data();
  auto& runs = ab.runs;
  uint32_t lo = 0;
  for (uint32_t s = 0; s < n; ++s) {
    const BState& q = bs[s];
    StateRecord& r = sr[s];
    PositionRecord& p = pr[s];
    ++bucket[q.len + 1];
    const uint32_t end = static_cast<uint32_t>(q.first_end);
    r.link = s == 0 ? 0 : static_cast<uint32_t>(q.link);
    r.link_len = s == 0 ? 0 : bs[q.link].len;
    p.len = q.len;
    p.link = r.link;
    p.link_len = r.link_len;
    p.sorted_offset = MatchIndex::kNoOffset;
    p.min_end = end;
    p.max_end = q.primary ? end : 0;
    p.slice_start = 0;
    p.count = q.primary ? 1 : 0;
    r.c0 = MatchIndex::kNoCode;
    r.t0 = 0;
    r.c1 = MatchIndex::kNoCode;
    r.t1 = 0;
    r.lo = lo;
    r.hi = lo;
    uint32_t k = 0;
    if (s == 0) {
      detail::grow_to(runs, lo + q.edge_count);
      uint64_t* run = runs.data() + lo;
      for (uint32_t c = 0; c < 128; ++c) {
        if (ab.root_table[c] >= 0) run[k++] = detail::pack_edge(c, ab.root_table[c]);
      }
      for (const auto& [c, t] : ab.root_wide) run[k++] = detail::pack_edge(c, t);
      ensure(k == q.edge_count, "automaton: edge count mismatch");
      std::sort(run, run + k);
      if (k > 0) {
        r.c0 = edge_code(run[0]);
        r.t0 = edge_target(run[0]);
      }
      if (k > 1) {
        r.c1 = edge_code(run[1]);
        r.t1 = edge_target(run[1]);
      }
      r.hi = lo + k;
      lo += k;
      continue;
    }
    k = q.edge_count;
    if (k == 0) continue;
    // The first inline edge of a state that ends a prefix of b is the edge on the code point that
    // follows it in b: it is added when that code point is appended and never redirected.
    r.c0 = q.code[0];
    r.t0 = static_cast<uint32_t>(q.target[0]);
    if (k > 1) {
      r.c1 = q.code[1];
      r.t1 = static_cast<uint32_t>(q.target[1]);
    }
    if (k <= 2) continue;
    if (runs.size() < lo + k) runs.resize(std::max<size_t>(lo + k, 2 * runs.size()));
    uint64_t* run = runs.data() + lo;
    for (uint32_t i = 0; i < std::min<uint32_t>(k, 4); ++i) run[i] = detail::pack_edge(q.code[i], q.target[i]);
    uint32_t w = std::min<uint32_t>(k, 4);
    for (int32_t node = q.overflow_head; node >= 0; node = ab.pool[static_cast<size_t>(node)].next) {
      run[w++] = detail::pack_edge(ab.pool[static_cast<size_t>(node)].code, ab.pool[static_cast<size_t>(node)].target);
    }
    ensure(w == k, "automaton: edge count mismatch");
    if (k > MatchIndex::kLinearRun) std::sort(run, run + k);
    r.hi = lo + k;
    lo += k;
  }
  detail::grow_to(ix.edges_, lo);
  std::copy(runs.data(), runs.data() + lo, ix.edges_.data());

  // Root table.
  ix.root_table_ = ab.root_table;

  // States by len ascending (counting sort, stable in state number).
  auto& order = ab.order;
  detail::grow_to(order, n);
  for (uint32_t l = 1; l < lb + 2; ++l) bucket[l] += bucket[l - 1];
  for (uint32_t s = 0; s < n; ++s) order[bucket[bs[s].len]++] = s;

  // Position records: counts and max ends accumulate up the suffix-link tree.
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
  detail::grow_to(cursor, n);
  detail::grow_to(depth, n);
  detail::grow_to(big_up, n);
  detail::grow_to(ix.jumps_, n);
  detail::grow_to(ix.end_positions_, lb);
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
      // A state ends a prefix of b exactly when it is the prefix state of its first end (a
      // clone shares its first end with the state it was cloned from; the root ends none).
      if (ix.prefix_states_[p.min_end] == static_cast<int32_t>(s)) ix.end_positions_[cursor[s]++] = p.min_end;
    }
  }

  // Range queries for the large states (the root is never searched).
  if (big_total > 0 && big_total <= uint64_t{MatchIndex::kSortedCopiesPerPosition} * lb) {
    // Sorted copies without sorting: walking b's end positions in ascending order and appending
    // each to every large state that holds it fills every copy in ascending order. The large
    // states holding an end are its prefix state's large ancestors.
    detail::grow_to(ix.sorted_ends_, big_total);
    ix.has_sorted_ = true;
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
    ix.ends_tree_ = detail::WaveletMatrix(std::span<const uint32_t>(ix.end_positions_.data(), lb), bits);
  }
}

int32_t MatchIndex::find_in_run(uint32_t s, uint32_t c) const {
  const uint64_t* first = edges_.data() + states_[s].lo;
  const uint64_t* last = edges_.data() + states_[s].hi;
  if (last - first <= kLinearRun) {
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
