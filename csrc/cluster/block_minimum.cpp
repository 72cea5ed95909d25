#include "cluster/block_minimum.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <mutex>
#include <numeric>
#include <vector>

#include "cluster/parallel_steps.hpp"
#include "cluster/shared_ends.hpp"
#include "cluster/shared_grams.hpp"
#include "gestalt/bounded.hpp"
#include "gestalt/common_run.hpp"
#include "pool/cancel.hpp"
#include "pool/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace simsieve {
namespace {

// floor(x) as an unsigned 64-bit count: NaN and negative values give 0, too large values saturate.
uint64_t saturating_floor(double x) {
  x = std::floor(x);
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

// Character counts over 32 coarse classes (letters without case, digits, space, a few kinds of
// punctuation, everything else), saturated at 255: their overlap is a rough upper bound of the
// match count, used only to choose which pairs to compare first.
struct alignas(16) ClassCounts {
  uint8_t count[32] = {};
};

constexpr std::array<uint8_t, 128> make_class_table() {
  std::array<uint8_t, 128> t{};
  for (size_t c = 0; c < 128; ++c) {
    uint8_t k = 31;
    if (c >= 'a' && c <= 'z') k = static_cast<uint8_t>(c - 'a');
    else if (c >= 'A' && c <= 'Z') k = static_cast<uint8_t>(c - 'A');
    else if (c >= '0' && c <= '9') k = 26;
    else if (c == ' ') k = 27;
    else if (c == '_') k = 28;
    else if (c == '(' || c == ')' || c == '[' || c == ']' || c == '{' || c == '}') k = 29;
    else if (c == '.' || c == ',' || c == ':' || c == ';') k = 30;
    t[c] = k;
  }
  return t;
}
constexpr std::array<uint8_t, 128> kClassOf = make_class_table();

uint32_t class_overlap(const ClassCounts& x, const ClassCounts& y) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i* a = reinterpret_cast<const __m128i*>(x.count);
  const __m128i* b = reinterpret_cast<const __m128i*>(y.count);
  const __m128i acc = _mm_add_epi64(_mm_sad_epu8(_mm_min_epu8(_mm_load_si128(a), _mm_load_si128(b)), zero),
                                    _mm_sad_epu8(_mm_min_epu8(_mm_load_si128(a + 1), _mm_load_si128(b + 1)), zero));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(acc) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
#else
  uint32_t sum = 0;
  for (int k = 0; k < 32; ++k) sum += std::min(x.count[k], y.count[k]);
  return sum;
#endif
}

// What the screen knows of one member without looking at its text again.
struct MemberFacts {
  uint32_t length = 0;
  bool ascii = true;  // every code point below 128
  uint64_t low = 0;   // ASCII characters 0..63 present
  uint64_t high = 0;  // ASCII characters 64..127 present
  ClassCounts classes;
};

MemberFacts facts_of(CodepointView text) {
  MemberFacts f;
  f.length = static_cast<uint32_t>(text.size());
  for (uint32_t c : text) {
    if (c < 64)
      f.low |= uint64_t{1} << c;
    else if (c < 128)
      f.high |= uint64_t{1} << (c - 64);
    else
      f.ascii = false;
    uint8_t& n = f.classes.count[c < 128 ? kClassOf[c] : 31];
    if (n < 255) ++n;
  }
  return f;
}

// The rough ratio bound of two members, as a sort key (lower first).
inline double rough_bound(const MemberFacts& x, const MemberFacts& y) {
  const uint64_t total = uint64_t{x.length} + y.length;
  if (total == 0) return 1.0;
  return 2.0 * class_overlap(x.classes, y.classes) / static_cast<double>(total);
}

// A shared ASCII character: M >= 1.
inline bool share_a_character(const MemberFacts& x, const MemberFacts& y) {
  return ((x.low & y.low) | (x.high & y.high)) != 0;
}

// Ratio 0.0 known from the facts alone: exactly one of the two is empty, or both are non-empty
// ASCII strings without a common character (M = 0).
inline bool certainly_zero(const MemberFacts& x, const MemberFacts& y) {
  if ((x.length == 0) != (y.length == 0)) return true;
  return x.length != 0 && x.ascii && y.ascii && !share_a_character(x, y);
}

// The running minimum, as the bit pattern of a non-negative double (ordered like the doubles).
class RunningMinimum {
 public:
  explicit RunningMinimum(double start) : bits_(std::bit_cast<uint64_t>(start)) {}
  double get() const { return std::bit_cast<double>(bits_.load(std::memory_order_relaxed)); }
  void lower(double v) {
    uint64_t bits = std::bit_cast<uint64_t>(v);
    uint64_t current = bits_.load(std::memory_order_relaxed);
    while (bits < current && !bits_.compare_exchange_weak(current, bits, std::memory_order_relaxed)) {
    }
  }

 private:
  std::atomic<uint64_t> bits_;
};

// The most words the sets of members by length may take in one block (8 bytes each).
constexpr size_t kLengthSetWords = size_t{1} << 22;

// The most partners of a row whose rough bounds choose its seed.
constexpr size_t kSeedPartners = 512;

// Pairs whose limit times total length exceeds this are compared by the indexed search.
constexpr uint64_t kBitParallelBudget = uint64_t{1} << 16;

// Blocks from this many members up index their short common runs (below, the pairs are few).
constexpr size_t kRunIndexMembers = 512;
// The most run occurrences one index may hold (16 or 32 bytes each while it is built), and all the
// indexes of one block together (about 12 bytes each once built).
constexpr uint64_t kRunIndexEntries = uint64_t{1} << 24;
constexpr uint64_t kRunIndexBudget = uint64_t{1} << 25;

// A row's sets of later members that share a run with it, by run length (empty until needed).
using RowSharers = std::array<std::vector<uint64_t>, kMaxSharedGram + 1>;

// How often a search that may spare a pair its match count has done so in one row. A search that
// fails is wasted, for the count runs anyway, so a row stops making it once it seldom succeeds:
// after a trial of the row's first pairs, while fewer than one in kShare searches succeed.
struct SearchRecord {
  static constexpr uint32_t kTrial = 16, kShare = 8;
  uint32_t tries = 0, found = 0;
  bool worth() const { return tries < kTrial || found * kShare >= tries; }
  bool record(bool success) {
    ++tries;
    found += success ? 1 : 0;
    return success;
  }
};

// A member's run pattern, built when its row first needs it, and how the row's searches for a
// common run of a pair's limit have fared.
struct RowPattern {
  RunPattern pattern;
  bool built = false;
  SearchRecord runs;
};

class BlockScan {
 public:
  BlockScan(const MinimumBlock& block, std::span<const CodepointView> canonicals, MatchIndexTable& slots)
      : block_(block), canonicals_(canonicals), slots_(slots), facts_(block.members.size()) {}

  void collect_facts(bool parallel) {
    auto one = [&](size_t x) { facts_[x] = facts_of(canonicals_[block_.members[x]]); };
    detail::for_each_index(facts_.size(), parallel, one, with_min_len(256));
  }

  // Calls f(y) for every y > x whose pair with x is neither known nor two copies of one string,
  // in ascending order, until f returns false.
  template <class F>
  void walk_row(size_t x, F&& f) const {
    const auto members = block_.members;
    const uint64_t a = members[x];
    auto k = std::lower_bound(block_.known.begin(), block_.known.end(), a,
                              [](const KnownPair& p, uint64_t i) { return p.i < i; });
    const bool copies = !block_.string_of.empty();
    for (size_t y = x + 1; y < members.size(); ++y) {
      const uint64_t b = members[y];
      while (k != block_.known.end() && k->i == a && k->j < b) ++k;
      if (k != block_.known.end() && k->i == a && k->j == b) continue;
      if (copies && block_.string_of[x] == block_.string_of[y]) continue;
      if (!f(y)) return;
    }
  }

  bool skipped(size_t x, size_t y) const {
    if (!block_.string_of.empty() && block_.string_of[x] == block_.string_of[y]) return true;
    const KnownPair p{block_.members[x], block_.members[y]};
    return std::binary_search(block_.known.begin(), block_.known.end(), p, [](const KnownPair& u, const KnownPair& v) {
      return u.i != v.i ? u.i < v.i : u.j < v.j;
    });
  }

  // True when some pair of members that is not skipped has ratio 0.0 for certain. Two members
  // that both hold the character most members hold are never apart, so every such pair has a
  // member without it, which is compared with all the others.
  bool has_zero_pair(bool parallel) const {
    const size_t m = facts_.size();
    bool empty = false, filled = false;
    std::array<uint32_t, 128> holders{};
    for (const MemberFacts& f : facts_) {
      (f.length == 0 ? empty : filled) = true;
      if (f.length == 0 || !f.ascii) continue;
      for (size_t c = 0; c < 64; ++c) holders[c] += f.low >> c & 1;
      for (size_t c = 0; c < 64; ++c) holders[64 + c] += f.high >> c & 1;
    }
    if (empty) return filled;
    const size_t common = static_cast<size_t>(std::max_element(holders.begin(), holders.end()) - holders.begin());
    const uint64_t common_low = common < 64 ? uint64_t{1} << common : 0;
    const uint64_t common_high = common < 64 ? 0 : uint64_t{1} << (common - 64);
    std::atomic<bool> found{false};
    detail::for_each_index(m, parallel, [&](size_t x) {
      check_cancelled_every(x);
      const MemberFacts& fx = facts_[x];
      if (!fx.ascii || (fx.low & common_low) != 0 || (fx.high & common_high) != 0) return;
      if (found.load(std::memory_order_relaxed)) return;
      for (size_t y = 0; y < m; ++y) {
        if (y != x && certainly_zero(fx, facts_[y]) && !skipped(std::min(x, y), std::max(x, y))) {
          found.store(true, std::memory_order_relaxed);
          return;
        }
      }
    }, with_min_len(16));
    return found.load();
  }

  // The exact ratio of members x < y when it is below r; 2.0 once "not below r" is certain.
  // `row` is x's run pattern (built on first use; null when x is too long for one).
  // With `no_run`, the pair is known to share no run of its limit's length. `sharers` caches
  // x's sharers by run length, for the row's pairs to share (see indexed_run).
  double screened_ratio(size_t x, size_t y, double r, RowPattern* row = nullptr, bool no_run = false,
                        RowSharers* sharers = nullptr) {
    const MemberFacts& fa = facts_[x];
    const MemberFacts& fb = facts_[y];
    const uint64_t la = fa.length, lb = fb.length, total = la + lb;
    if (total == 0) return 1.0;
    if (la == 0 || lb == 0) return 0.0;
    const uint64_t limit = saturating_floor(static_cast<double>(total) * r * 0.5) + 1;
    if (limit == 1 && share_a_character(fa, fb)) return 2.0;
    if (!row) return ratio_below(canonicals_, slots_, block_.members[x], block_.members[y], r);
    if (!row->built) {
      row->pattern.build(canonicals_[block_.members[x]]);
      row->built = true;
    }
    if (!row->pattern.countable()) return ratio_below(canonicals_, slots_, block_.members[x], block_.members[y], r);
    const CodepointView b = canonicals_[block_.members[y]];
    if (prefix_and_rests_reach(x, y, limit, *row, sharers)) return 2.0;
    // A common run of `limit` characters: the longest matching block is at least that long.
    // Patterns too long for position sets are only counted.
    if (!no_run && la <= kRunMaxPattern && limit <= std::min(la, lb) && row->runs.worth() &&
        row->runs.record(row->pattern.shares_run(b, limit)))
      return 2.0;
    // The bit-parallel count visits the text once per run length it tries, up to the limit: for
    // large limits the indexed search is cheaper.
    if (limit > kBitParallelBudget / total)
      return ratio_below(canonicals_, slots_, block_.members[x], block_.members[y], r);
    const uint64_t matched = row->pattern.match_count(b, limit);
    return matched >= limit ? 2.0 : static_cast<double>(matched + matched) / static_cast<double>(total);
  }

  // Whether members x < y match at least `limit` characters by their common prefix and what
  // follows it. With a common prefix of P characters and no common run longer than P, the longest
  // matching block is the prefix itself (of the longest blocks, the one that starts first in
  // both), so the blocks after it are those of the two rests a[P:] and b[P:], and the rests'
  // first block is their longest common run: M >= P + R for a common run of R characters of the
  // rests, such as the common suffix S (not overlapping the prefix). (Without that condition the
  // first block may cut across the prefix.)
  bool prefix_and_rests_reach(size_t x, size_t y, uint64_t limit, RowPattern& row, RowSharers* sharers) {
    const CodepointView b = canonicals_[block_.members[y]];
    const auto [p, s] = common_ends(canonicals_[block_.members[x]], b);
    if (p >= limit || s >= limit) return true;
    // The suffix is a common run too, so a suffix longer than the prefix is a longer run. The
    // searches below need the row's position sets.
    if (p == 0 || s > p || facts_[x].length > kRunMaxPattern) return false;
    const bool longest = p + 1 > std::min(facts_[x].length, facts_[y].length);
    IndexedRun longer = IndexedRun::unknown;
    if (!longest && sharers != nullptr) {
      longer = indexed_run(x, y, p + 1, *sharers);
      if (longer == IndexedRun::shared) return false;
    }
    if (p + s < limit && !row.pattern.shares_run_after(b, p, limit - p)) return false;
    if (longest || longer == IndexedRun::absent) return true;
    return !row.pattern.shares_run(b, p + 1);
  }

  // Indexes the runs of every length a pair's limit L can take while the running minimum is at
  // most r (from 2 up to kMaxSharedGram characters): a pair whose members share a run of L
  // characters is then settled by one bit of its row's sharers, and an ASCII pair that does not
  // needs no search for one. The running minimum only falls, so the limits only fall; the shorter
  // lengths it reaches later are indexed when a row first needs them.
  void index_runs(double r, bool parallel) {
    const size_t m = facts_.size();
    if (m < kRunIndexMembers || !(r > 0.0)) return;
    uint64_t shortest = UINT64_MAX, longest = 0, characters = 0;
    for (const MemberFacts& f : facts_) {
      if (f.length == 0) continue;
      shortest = std::min<uint64_t>(shortest, f.length);
      longest = std::max<uint64_t>(longest, f.length);
      characters += f.length;
    }
    if (longest == 0) return;
    const uint64_t low = std::max<uint64_t>(2, saturating_floor(static_cast<double>(2 * shortest) * r * 0.5) + 1);
    const uint64_t high = saturating_floor(static_cast<double>(2 * longest) * r * 0.5) + 1;
    const bool indexed = characters <= kRunIndexEntries;
    if (indexed) {
      characters_ = characters;
      indexes_left_ = kRunIndexBudget / characters;
      for (uint64_t q = low; q <= std::min<uint64_t>(high, kMaxSharedGram); ++q) grams(static_cast<uint32_t>(q), parallel);
    }
    // Common starts and ends serve the limits the run index does not reach (the limits only fall).
    if (!indexed || high > kMaxSharedGram) {
      starts_ = std::make_unique<SharedEnds>(block_.members, canonicals_, false, parallel);
      ends_ = std::make_unique<SharedEnds>(block_.members, canonicals_, true, parallel);
    }
    group_by_length();
  }

  void lower_row(size_t x, RunningMinimum& best) {
    if (!lengths_.empty()) {
      lower_row_by_words(x, best);
      return;
    }
    RowPattern pattern;
    RowPattern* row = facts_[x].length <= kRunMaxCountPattern ? &pattern : nullptr;
    // The row's sharers of each indexed run length, found when a pair first needs them.
    RowSharers sharers;
    walk_row(x, [&](size_t y) {
      const double r = best.get();
      if (r <= 0.0) return false;
      const IndexedRun run = indexed_run(x, y, r, sharers);
      if (run == IndexedRun::shared) return true;
      best.lower(screened_ratio(x, y, r, row, run == IndexedRun::absent, &sharers));
      return true;
    });
  }

  size_t size() const { return facts_.size(); }
  const MemberFacts& facts(size_t x) const { return facts_[x]; }

 private:
  // The sets of members no longer than each distinct length, and of the ASCII members, for the
  // rows of an indexed block to settle their pairs a word of members at a time. Not made when
  // they would take too much memory.
  void group_by_length() {
    const size_t m = facts_.size();
    words_ = (m + 63) / 64;
    std::vector<uint32_t> lengths;
    lengths.reserve(m);
    for (const MemberFacts& f : facts_) lengths.push_back(f.length);
    std::sort(lengths.begin(), lengths.end());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());
    if (lengths.size() * words_ > kLengthSetWords) return;
    shorter_.assign(lengths.size() * words_, 0);
    ascii_set_.assign(words_, 0);
    for (size_t y = 0; y < m; ++y) {
      const size_t k = static_cast<size_t>(std::lower_bound(lengths.begin(), lengths.end(), facts_[y].length) - lengths.begin());
      shorter_[k * words_ + y / 64] |= uint64_t{1} << (y % 64);
      if (facts_[y].ascii) ascii_set_[y / 64] |= uint64_t{1} << (y % 64);
    }
    for (size_t k = 1; k < lengths.size(); ++k)
      for (size_t w = 0; w < words_; ++w) shorter_[k * words_ + w] |= shorter_[(k - 1) * words_ + w];
    lengths_ = std::move(lengths);
  }

  // lower_row for an indexed block. The row's members are grouped by their limit at the running
  // minimum r the row starts with (the limit grows with the partner's length, so each group is a
  // range of lengths); a group's sharers of a run of its limit are settled by one word operation
  // per 64 members, the ASCII ones left are marked as having no such run, and only the pairs left
  // are compared, against r. A minimum that falls meanwhile only makes r settle fewer pairs.
  void lower_row_by_words(size_t x, RunningMinimum& best) {
    const double r = best.get();
    const size_t m = facts_.size();
    if (r <= 0.0 || x + 1 >= m) return;
    const size_t first = (x + 1) / 64;
    std::vector<uint64_t> open(words_, ~uint64_t{0}), absent(words_, 0);
    open[first] &= ~uint64_t{0} << ((x + 1) % 64);
    if (m % 64 != 0) open[words_ - 1] &= (uint64_t{1} << (m % 64)) - 1;
    const uint64_t la = facts_[x].length;
    auto limit_of = [&](uint64_t lb) { return saturating_floor(static_cast<double>(la + lb) * r * 0.5) + 1; };
    std::vector<uint64_t> bits;
    // Empty members are never settled here, nor the partners of an empty row.
    for (size_t k = (la == 0 ? lengths_.size() : lengths_[0] == 0 ? 1 : 0); k < lengths_.size();) {
      const uint64_t limit = limit_of(lengths_[k]);
      size_t end = k + 1;
      while (end < lengths_.size() && limit_of(lengths_[end]) == limit) ++end;
      const uint64_t* upto = shorter_.data() + (end - 1) * words_;
      const uint64_t* below = k > 0 ? shorter_.data() + (k - 1) * words_ : nullptr;
      auto group = [&](size_t w) { return upto[w] & ~(below ? below[w] : 0); };
      const SharedGrams* index =
          limit >= 2 && limit <= kMaxSharedGram ? grams(static_cast<uint32_t>(limit), false) : nullptr;
      if (index != nullptr) {
        index->sharers_after(x, bits);
        const uint64_t row_ascii = facts_[x].ascii ? ~uint64_t{0} : 0;
        for (size_t w = first; w < words_; ++w) {
          open[w] &= ~(group(w) & bits[w]);
          absent[w] |= group(w) & ~bits[w] & ascii_set_[w] & row_ascii;
        }
      }
      // A common start or end of `limit` characters settles a pair as a common run does (the
      // run index, where there is one for the limit, holds those of ASCII members already).
      for (SharedEnds* ends : {starts_.get(), ends_.get()})
        if (index == nullptr && ends != nullptr &&
            ends->sharers_after(x, static_cast<uint32_t>(std::min<uint64_t>(limit, UINT32_MAX)), bits))
          for (size_t w = first; w < words_; ++w) open[w] &= ~(group(w) & bits[w]);
      k = end;
    }
    RowPattern pattern;
    RowPattern* row = la <= kRunMaxCountPattern ? &pattern : nullptr;
    RowSharers sharers;
    const bool skips = !block_.known.empty() || !block_.string_of.empty();
    for (size_t w = first; w < words_; ++w) {
      for (uint64_t left = open[w]; left != 0; left &= left - 1) {
        const size_t y = 64 * w + static_cast<size_t>(std::countr_zero(left));
        if (skips && skipped(x, y)) continue;
        if (best.get() <= 0.0) return;
        best.lower(screened_ratio(x, y, r, row, (absent[w] >> (y % 64) & 1) != 0, &sharers));
      }
    }
  }

  // The index of runs of q characters (2 <= q <= kMaxSharedGram), built by the first caller that
  // needs it; null when the block is not indexed or its indexes have used up their memory.
  const SharedGrams* grams(uint32_t q, bool parallel) {
    std::call_once(built_[q], [&] {
      uint64_t left = indexes_left_.load();
      while (left > 0 && !indexes_left_.compare_exchange_weak(left, left - 1)) {
      }
      if (left > 0) runs_[q] = std::make_unique<SharedGrams>(block_.members, canonicals_, q, parallel);
    });
    return runs_[q].get();
  }

  // What the run index says of members x < y and a common run of their limit's length at the
  // running minimum r: shared (their ratio is not below r), certainly absent (both are ASCII, so
  // the index sees every run they have), or nothing (the limit is out of the index's reach).
  enum class IndexedRun { unknown, shared, absent };
  IndexedRun indexed_run(size_t x, size_t y, double r, RowSharers& sharers) {
    const uint64_t la = facts_[x].length, lb = facts_[y].length;
    if (la == 0 || lb == 0) return IndexedRun::unknown;
    return indexed_run(x, y, saturating_floor(static_cast<double>(la + lb) * r * 0.5) + 1, sharers);
  }
  // The same for a common run of `length` characters.
  IndexedRun indexed_run(size_t x, size_t y, uint64_t length, RowSharers& sharers) {
    if (characters_ == 0 || length < 2 || length > kMaxSharedGram) return IndexedRun::unknown;
    std::vector<uint64_t>& bits = sharers[length];
    if (bits.empty()) {
      const SharedGrams* index = grams(static_cast<uint32_t>(length), false);
      if (index == nullptr) return IndexedRun::unknown;
      index->sharers_after(x, bits);
    }
    if (bits[y / 64] >> (y % 64) & 1) return IndexedRun::shared;
    return facts_[x].ascii && facts_[y].ascii ? IndexedRun::absent : IndexedRun::unknown;
  }

  const MinimumBlock& block_;
  std::span<const CodepointView> canonicals_;
  MatchIndexTable& slots_;
  std::vector<MemberFacts> facts_;
  // The characters of the members, when the block is indexed, and how many more indexes it may build.
  uint64_t characters_ = 0;
  size_t words_ = 0;
  std::vector<uint32_t> lengths_;
  std::vector<uint64_t> shorter_, ascii_set_;
  std::atomic<uint64_t> indexes_left_{0};
  std::array<std::unique_ptr<SharedGrams>, kMaxSharedGram + 1> runs_;
  // The members sharing their first, and their last, characters with a row's (large blocks only).
  std::unique_ptr<SharedEnds> starts_, ends_;
  std::array<std::once_flag, kMaxSharedGram + 1> built_;
};

// Runs row(x) for every row x of an m-member triangle. In parallel, rows are taken in pairs x and
// m - 2 - x, so that every piece holds about the same number of member pairs.
template <class Row>
void for_each_row(size_t m, bool parallel, Row&& row) {
  if (m < 2) return;
  const size_t rows = m - 1;
  if (!parallel) {
    for (size_t x = 0; x < rows; ++x) {
      check_cancelled_every(x);
      row(x);
    }
    return;
  }
  parallel_for_each((rows + 1) / 2, [&](size_t u) {
    check_cancelled();
    row(u);
    if (rows - 1 - u != u) row(rows - 1 - u);
  });
}

}  // namespace

double ratio_below(std::span<const CodepointView> canonicals, MatchIndexTable& slots, size_t a_id, size_t b_id,
                   double r) {
  CodepointView a = canonicals[a_id], b = canonicals[b_id];
  const uint64_t la = a.size(), lb = b.size(), total = la + lb;
  if (total == 0) return 1.0;
  if (la == 0 || lb == 0) return 0.0;
  const uint64_t limit = saturating_floor(static_cast<double>(total) * r * 0.5) + 1;
  if (limit <= std::min(la, lb)) {
    const auto [p, s] = common_ends(a, b);
    if (p >= limit || s >= limit) return 2.0;
  }
  return capped_ratio(a, slots.match_index_of(b_id), b, limit);
}

double block_minimum(const MinimumBlock& block, std::span<const CodepointView> canonicals, MatchIndexTable& slots,
                     double start, bool parallel, PhaseCounter* progress) {
  const size_t m = block.members.size();
  const uint64_t pairs = m < 2 ? 0 : uint64_t{m} * (m - 1) / 2;
  std::atomic<uint64_t> counted{0};
  auto count = [&](uint64_t n) {
    if (!progress) return;
    progress->add(n);
    counted.fetch_add(n, std::memory_order_relaxed);
  };
  auto settle = [&](double result) {
    if (progress) progress->add(pairs - counted.load(std::memory_order_relaxed));
    return result;
  };
  if (m < 2 || !(start > 0.0)) return settle(start);

  BlockScan scan(block, canonicals, slots);
  scan.collect_facts(parallel);

  // A pair with ratio 0.0 is the minimum; the character sets find one at a few cycles a pair.
  if (scan.has_zero_pair(parallel)) return settle(0.0);

  RunningMinimum best(start);
  // Seeds: the screen settles a pair only when its match count certainly reaches the running
  // minimum's, so the lower that minimum is early, the more pairs it settles. Every row's partner
  // with the lowest rough bound (among at most kSeedPartners of them, spread over the row) is
  // compared first, the lowest bounds first.
  if (m > 2) {
    struct Seed {
      double bound;
      uint32_t x, y;
    };
    std::vector<Seed> seeds(m - 1, Seed{2.0, 0, 0});
    for_each_row(m, parallel, [&](size_t x) {
      Seed& seed = seeds[x];
      // In a large block, a spread sample of the row's partners.
      const size_t step = std::max<size_t>(1, (m - 1 - x) / kSeedPartners);
      for (size_t y = x + 1 + x % step; y < m; y += step) {
        const double b = rough_bound(scan.facts(x), scan.facts(y));
        if (b < seed.bound) seed = {b, static_cast<uint32_t>(x), static_cast<uint32_t>(y)};
      }
    });
    std::sort(seeds.begin(), seeds.end(), [](const Seed& u, const Seed& v) { return u.bound < v.bound; });
    RowPattern row;
    for (const Seed& seed : seeds) {
      if (seed.bound > 1.0) continue;
      check_cancelled();
      const double r = best.get();
      if (r <= 0.0) break;
      if (scan.skipped(seed.x, seed.y)) continue;
      const bool short_row = scan.facts(seed.x).length <= kRunMaxCountPattern;
      row.built = false;
      row.runs = SearchRecord{};
      best.lower(scan.screened_ratio(seed.x, seed.y, r, short_row ? &row : nullptr));
    }
  }
  scan.index_runs(best.get(), parallel);
  for_each_row(m, parallel, [&](size_t x) {
    scan.lower_row(x, best);
    count(m - 1 - x);
  });
  return settle(best.get());
}

}  // namespace simsieve
