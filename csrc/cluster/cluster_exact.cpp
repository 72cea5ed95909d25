#include "cluster/cluster_exact.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <tuple>

#include "cluster/char_histogram.hpp"
#include "cluster/copies.hpp"
#include "cluster/form_clusters.hpp"
#include "cluster/group_screen.hpp"
#include "cluster/lazy_match_index.hpp"
#include "cluster/parallel_steps.hpp"
#include "cluster/progress.hpp"
#include "cluster/scan_order.hpp"
#include "common/internal_error.hpp"
#include "gestalt/bounded.hpp"
#include "gestalt/common_run.hpp"
#include "gestalt/lcs_bound.hpp"
#include "gestalt/match_index.hpp"
#include "pool/cancel.hpp"
#include "pool/parallel.hpp"
#include "pool/phase_progress.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace simsieve {
namespace {

struct CandidatePair {
  uint32_t lo, hi;
};

// A candidate with its sort key: the complemented bit pattern of its histogram bound, so that
// ascending keys are descending bounds.
struct RankedCandidate {
  uint64_t key;
  uint32_t lo, hi;
};

// The character counts of an ASCII canonical whose counts all fit a byte, laid out densely so that
// the overlap of two of them is a vector minimum and a sum. Gives the same overlap as the merge
// walk over the sorted lists.
struct alignas(16) DenseCounts {
  uint8_t count[128];
};

// The longest canonical whose group counts can all fit a byte, and the key of those that do not.
inline constexpr uint32_t kMaxGrouped = kCharGroups * 255;
inline constexpr uint32_t kUngrouped = 2 * kMaxGrouped + 1;

uint32_t dense_overlap(const DenseCounts& x, const DenseCounts& y) {
#if defined(__SSE2__)
  __m128i acc = _mm_setzero_si128();
  const __m128i zero = _mm_setzero_si128();
  for (int k = 0; k < 8; ++k) {
    __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(x.count) + k);
    __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(y.count) + k);
    acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_min_epu8(a, b), zero));
  }
  return static_cast<uint32_t>(_mm_cvtsi128_si32(acc) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(acc, acc)));
#else
  uint32_t sum = 0;
  for (int c = 0; c < 128; ++c) sum += std::min(x.count[c], y.count[c]);
  return sum;
#endif
}

// Per position of the scan order: what the candidate scan needs, stored contiguously.
struct ScanTables {
  std::vector<uint32_t> length;     // code point length
  std::vector<int32_t> dense;       // slot in `counts`, or -1 when the canonical has no dense form
  std::vector<DenseCounts> counts;
  // Counts summed over 16 groups of characters, one byte each; a canonical with a group count
  // that does not fit a byte skips the group test.
  std::vector<GroupCounts> groups;
  std::vector<FineGroupCounts> fine;
  // The canonical's length when its group counts fit a byte, kUngrouped otherwise: la + key indexes the
  // table of group distance limits, whose entries past every real total let any distance pass.
  std::vector<uint32_t> key;
};

ScanTables scan_tables(const std::vector<uint32_t>& order, const std::vector<CharHistogram>& histograms,
                       const CharGroups& groups, bool parallel) {
  ScanTables t;
  const size_t n = order.size();
  t.length.resize(n);
  t.dense.resize(n, -1);
  t.groups.resize(n);
  t.fine.resize(n);
  t.key.resize(n, kUngrouped);
  // Per position, then the dense slots in position order, then the dense counts. Both passes walk
  // the canonicals in input order, where their histograms lie in memory, and write to each one's
  // position: read in scan order, every histogram would be a cache miss.
  std::vector<uint32_t> position(n);
  std::vector<uint8_t> fits(n, 0);
  auto row = [&](size_t k) {
    const CharHistogram& h = histograms[k];
    const size_t p = position[k];
    t.length[p] = h.length;
    std::array<uint32_t, kFineGroups> fine{};
    for (const CharCount& c : h.counts) fine[groups.of(c.code_point)] += c.count;
    std::array<uint32_t, kCharGroups> sums{};
    for (size_t g = 0; g < kFineGroups; ++g) {
      sums[g % kCharGroups] += fine[g];
      t.fine[p].count[g] = static_cast<uint8_t>(std::min<uint32_t>(fine[g], 255));
    }
    if (std::all_of(sums.begin(), sums.end(), [](uint32_t v) { return v <= 255; })) {
      t.key[p] = h.length;
      for (size_t g = 0; g < kCharGroups; ++g) t.groups[p].count[g] = static_cast<uint8_t>(sums[g]);
    }
    fits[p] = std::all_of(h.counts.begin(), h.counts.end(),
                          [](const CharCount& c) { return c.code_point < 128 && c.count <= 255; });
  };
  auto dense = [&](size_t k) {
    const size_t p = position[k];
    if (t.dense[p] < 0) return;
    DenseCounts& d = t.counts[static_cast<size_t>(t.dense[p])];
    std::fill(std::begin(d.count), std::end(d.count), uint8_t{0});
    for (const CharCount& c : histograms[k].counts) d.count[c.code_point] = static_cast<uint8_t>(c.count);
  };
  detail::for_each_index(n, parallel, [&](size_t p) { position[order[p]] = static_cast<uint32_t>(p); },
                         with_min_len(1024));
  detail::for_each_index(n, parallel, row, with_min_len(1024));
  int32_t slots = 0;
  for (size_t p = 0; p < n; ++p)
    if (fits[p]) t.dense[p] = slots++;
  t.counts.resize(static_cast<size_t>(slots));
  detail::for_each_index(n, parallel, dense, with_min_len(1024));
  return t;
}

// The largest L1 distance between the group counts of two non-empty canonicals of total length
// `total` that can still let their histogram bound reach the threshold: the group overlap
// (total - distance) / 2 is never below the character overlap, so a larger distance means an
// overlap below the least one that reaches. -1 when no overlap reaches.
std::vector<int32_t> group_distance_limits(double threshold) {
  constexpr uint32_t max_total = 2 * kMaxGrouped;
  std::vector<int32_t> limit(kMaxGrouped + kUngrouped + 1, INT32_MAX);
  for (uint32_t total = 0; total <= max_total; ++total) {
    limit[total] = -1;
    if (total == 0) continue;
    auto reaches = [&](uint32_t overlap) { return !(threshold > overlap_bound(overlap, 1, total - 1)); };
    uint32_t lo = 0, hi = total / 2 + 1;  // least overlap in [0, total / 2] that reaches, or hi
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (reaches(mid))
        hi = mid;
      else
        lo = mid + 1;
    }
    if (lo <= total / 2) limit[total] = static_cast<int32_t>(total - 2 * lo);
  }
  return limit;
}

// The least overlap of a total length no canonical pair of that total can reach.
inline constexpr uint32_t kUnreachable = UINT32_MAX;

// How many group columns the first screen of the candidate scan sums over (8, 16 or 32), from
// the share of window pairs each width lets through on a sample of probes. A row costs about its
// column count; a row let through costs about kRecheckCost more (its lane written out, its check
// against all fine groups, the branch that decides it), a weight fitted to scan times of the three
// widths on standard-library lines at 0.8 and 0.9. Results do not depend on the choice, only time.
size_t screen_groups(const ScanTables& scan, size_t n, double threshold, const std::vector<uint32_t>& least) {
  constexpr size_t kSampleProbes = 192, kSampleRows = 512, kMinPairs = 4096;
  constexpr double kRecheckCost = 1200.0;
  uint64_t pairs = 0, pass8 = 0, pass16 = 0;
  const size_t step = std::max<size_t>(1, n / kSampleProbes);
  for (size_t p = step / 2; p < n; p += step) {
    const uint32_t la = scan.length[p];
    if (la == 0 || la > kMaxFineLength) continue;
    const FineGroupCounts a16 = fold_groups(scan.fine[p], 16), a8 = fold_groups(scan.fine[p], 8);
    for (size_t q = p + 1; q < std::min(n, p + 1 + kSampleRows); ++q) {
      const uint32_t lb = scan.length[q];
      if (lb > kMaxFineLength || threshold > length_bound(la, lb)) break;
      const uint32_t need = least[la + lb];
      if (need == kUnreachable) continue;
      ++pairs;
      const FineGroupCounts b16 = fold_groups(scan.fine[q], 16), b8 = fold_groups(scan.fine[q], 8);
      uint32_t o16 = 0, o8 = 0;
      for (size_t g = 0; g < 16; ++g) o16 += std::min(a16.count[g], b16.count[g]);
      for (size_t g = 0; g < 8; ++g) o8 += std::min(a8.count[g], b8.count[g]);
      pass16 += o16 >= need;
      pass8 += o8 >= need;
    }
  }
  if (pairs < kMinPairs) return kFineGroups;
  const double cost8 = 8.0 + kRecheckCost * static_cast<double>(pass8) / static_cast<double>(pairs);
  const double cost16 = 16.0 + kRecheckCost * static_cast<double>(pass16) / static_cast<double>(pairs);
  const double cost32 = static_cast<double>(kFineGroups);
  if (cost8 <= cost16 && cost8 < cost32) return 8;
  return cost16 < cost32 ? 16 : kFineGroups;
}

// Runs of rows at most this far apart are screened as one run.
inline constexpr size_t kJoinGap = 64;

// Probes scanned between two points where the waiting candidates may be handed on.
inline constexpr size_t kChunkProbes = 4096;

// Where the candidate scan hands its candidates on: once more than `hold` are waiting (which ends
// a chunk of probes early), `flush` receives them, tests them and may then fill `component` with
// every canonical's component so far; the scan skips the pairs already connected from then on.
// Clusters depend only on the components of the pairs that reach the threshold, so a skipped pair
// changes nothing.
struct CandidateStream {
  size_t hold = SIZE_MAX;
  size_t chunk_probes = kChunkProbes;
  std::function<void(std::vector<RankedCandidate>&)> flush;
  std::vector<uint32_t> component;
};

// Candidate pairs (lo < hi), each ranked by its histogram bound: the pairs inside the length
// window whose histogram bound reaches the threshold. With `grouped`, pairs are first screened by
// the group counts, which only removes pairs the histogram bound removes too. With a
// `stream`, the candidates may be handed on in parts; the ones returned are those still waiting.
std::vector<RankedCandidate> ranked_candidates(std::span<const CodepointView> canonicals,
                                               const std::vector<CharHistogram>& histograms, double threshold,
                                               bool grouped, PhaseProgress* progress,
                                               CandidateStream* stream = nullptr, size_t forced_groups = 0) {
  const size_t n = canonicals.size();
  const bool parallel = n >= CLUSTER_PARALLEL_MIN;
  const CharGroups char_groups = balanced_groups(histograms);
  // Screened scans walk each length of a window by key runs; the plain scan by length alone.
  const ScanOrder scan_order(histograms, char_groups, grouped, parallel);
  const std::vector<uint32_t>& order = scan_order.order();
  const ScanTables scan = scan_tables(order, histograms, char_groups, parallel);
  const std::vector<int32_t> distance_limit = group_distance_limits(threshold);
  // The least character overlap that lets the histogram bound reach the threshold, by total length
  // (kUnreachable when none does), for totals of two canonicals the fine group screen takes.
  std::vector<uint32_t> least_overlap(2 * kMaxFineLength + 1, kUnreachable);
  for (size_t total = 0; total < least_overlap.size(); ++total)
    if (distance_limit[total] >= 0) least_overlap[total] = static_cast<uint32_t>(total - distance_limit[total]) / 2;
  // Fewer group columns than the 32 fine groups when a sample of the windows says the screen's
  // cheaper rows outweigh the rows it then lets through; those are checked against all 32 fine
  // groups before the histogram test.
  const size_t groups = forced_groups != 0 ? forced_groups
                        : grouped        ? screen_groups(scan, n, threshold, least_overlap)
                                         : kFineGroups;
  const GroupColumns columns(scan.fine, groups, parallel);
  PhaseCounter counter(progress, "candidates", n);
  constexpr size_t kSlice = 1024;
  enum class Screen { skip, fine, coarse, none };
  // How probe p screens the rows [begin, stop): not at all when no pair there can reach; by the fine
  // group overlap (with the least overlap that can reach in `need`) when every count fits a byte;
  // by the group distance against the exact per-length limits when the probe's group counts fit a
  // byte; pair by pair otherwise. The least overlap grows with the total length, so the slice's
  // shortest row gives the least one for the whole slice.
  auto screen_for = [&](size_t p, size_t begin, size_t stop, uint8_t& need) {
    const uint64_t la = scan.length[p];
    if (!grouped || la == 0) return Screen::none;
    if (la <= kMaxFineLength && scan.length[stop - 1] <= kMaxFineLength) {
      const uint32_t least = least_overlap[la + scan.length[begin]];
      if (least == kUnreachable) return Screen::skip;
      need = static_cast<uint8_t>(least);
      return Screen::fine;
    }
    return scan.key[p] != kUngrouped ? Screen::coarse : Screen::none;
  };
  // Each probe's window stops at the first row the length bound rules out, since every later
  // canonical is at least as long.
  auto window_end = [&](size_t p) {
    const uint64_t la = scan.length[p];
    return static_cast<size_t>(
        std::partition_point(scan.length.begin() + static_cast<ptrdiff_t>(p + 1), scan.length.end(),
                             [&](uint32_t lb) { return !(threshold > length_bound(la, lb)); }) -
        scan.length.begin());
  };
  // Probes in tiles of consecutive rows of the scan order. The rows that all windows of a tile
  // share are screened once for the whole tile; the rest of each window probe by probe.
  const size_t tiles = (n + kTileProbes - 1) / kTileProbes;
  // The stream's components, once it has some, by position in the scan order: the scan reads
  // them for rows in ascending order, where by canonical they would be scattered loads.
  std::vector<uint32_t> component_at;
  const uint32_t* connected = nullptr;
  auto scan_tile = [&](size_t tile) {
    check_cancelled_every(tile);
    std::vector<RankedCandidate> row;
    auto test = [&](size_t p, size_t q) {
      if (connected != nullptr && connected[p] == connected[q]) return;
      const uint32_t a = order[p], b = order[q];
      const int32_t da = scan.dense[p], db = scan.dense[q];
      uint32_t overlap = (da >= 0 && db >= 0) ? dense_overlap(scan.counts[da], scan.counts[db])
                                              : histogram_overlap(histograms[a], histograms[b]);
      double bound = overlap_bound(overlap, scan.length[p], scan.length[q]);
      if (threshold > bound) return;
      row.push_back({~std::bit_cast<uint64_t>(bound), std::min(a, b), std::max(a, b)});
    };
    // A row the folded columns let through, checked against all fine groups with the exact least
    // overlap of the pair's total length before the histogram test.
    auto admit = [&](size_t p, size_t q) {
      if (groups < kFineGroups &&
          fine_overlap(scan.fine[p], scan.fine[q]) < least_overlap[scan.length[p] + scan.length[q]])
        return;
      test(p, q);
    };
    // Rows a screen let through wait in a short queue before they are admitted. Their dense counts
    // and components are scattered over memory far larger than the caches, so they are fetched
    // when a row joins the queue and used kQueued rows later. A screen lets through a few rows at a
    // time, so the queue carries over from one screen to the next until the tile is done.
    constexpr size_t kQueued = 8;
    std::array<std::pair<uint32_t, uint32_t>, kQueued> queue;
    size_t queued = 0, admitted = 0;
    auto admit_all = [&](size_t p, const uint32_t* rows, size_t count) {
      for (size_t k = 0; k < count; ++k) {
        const uint32_t q = rows[k];
        if (connected != nullptr) __builtin_prefetch(connected + q);
        if (groups < kFineGroups) __builtin_prefetch(scan.fine[q].count);
        const int32_t dq = scan.dense[q];
        if (dq >= 0) {
          __builtin_prefetch(scan.counts[static_cast<size_t>(dq)].count);
          __builtin_prefetch(scan.counts[static_cast<size_t>(dq)].count + 64);
        }
        if (queued - admitted == kQueued) {
          const auto [ap, aq] = queue[admitted++ % kQueued];
          admit(ap, aq);
        }
        queue[queued++ % kQueued] = {static_cast<uint32_t>(p), q};
      }
    };
    auto admit_queued = [&] {
      for (; admitted < queued; ++admitted) admit(queue[admitted % kQueued].first, queue[admitted % kQueued].second);
    };
    uint32_t buffers[kTileProbes][kSlice + GroupColumns::kBlock];
    const size_t first = tile * kTileProbes, last = std::min(n, first + kTileProbes);
    // The tile's probes folded to the screen's columns, once for all their slices.
    FineGroupCounts folded[kTileProbes];
    for (size_t p = first; p < last; ++p) folded[p - first] = columns.fold(scan.fine[p]);
    // Rows [begin, end) of probe p's window, screened in slices, each 32 rows a step with one
    // byte-sized limit where the slice's totals allow it, row by row against the exact per-length
    // limits otherwise.
    auto screen_alone = [&](size_t p, size_t begin, size_t end) {
      uint32_t* survivors = buffers[0];
      for (; begin < end; begin += kSlice) {
        const size_t stop = std::min(end, begin + kSlice);
        uint8_t need = 0;
        size_t kept = 0;
        switch (screen_for(p, begin, stop, need)) {
          case Screen::skip:
            continue;
          case Screen::fine:
            kept = screen_columns(folded[p - first], columns, need, begin, stop, survivors);
            admit_all(p, survivors, kept);
            continue;
          case Screen::coarse:
            kept = screen_window(scan.groups[p], scan.groups.data(), scan.key.data(),
                                 distance_limit.data() + scan.length[p], begin, stop, survivors);
            break;
          case Screen::none:
            for (size_t q = begin; q < stop; ++q) test(p, q);
            continue;
        }
        for (size_t k = 0; k < kept; ++k) test(p, survivors[k]);
      }
    };
    // Rows [begin, end) that every probe of the tile takes, screened for all of them at once.
    auto screen_shared = [&](size_t shared_begin, size_t shared_end) {
      for (size_t begin = shared_begin; begin < shared_end; begin += kSlice) {
        const size_t stop = std::min(shared_end, begin + kSlice);
        const FineGroupCounts* probes[kTileProbes];
        uint8_t needs[kTileProbes];
        size_t tiled[kTileProbes];
        size_t count = 0;
        for (size_t p = first; p < last; ++p) {
          uint8_t need = 0;
          const Screen screen = screen_for(p, begin, stop, need);
          if (screen == Screen::skip) continue;
          if (screen != Screen::fine) {
            screen_alone(p, begin, stop);
            continue;
          }
          probes[count] = &folded[p - first];
          needs[count] = need;
          tiled[count++] = p;
        }
        if (count == 0) continue;
        uint32_t* out[kTileProbes];
        size_t kept[kTileProbes];
        for (size_t k = 0; k < kTileProbes; ++k) out[k] = buffers[k];
        screen_columns_tile(probes, needs, count, columns, begin, stop, out, kept);
        for (size_t k = 0; k < count; ++k) admit_all(tiled[k], out[k], kept[k]);
      }
    };
    size_t end[kTileProbes];
    for (size_t p = first; p < last; ++p) end[p - first] = window_end(p);
    const uint32_t la = scan.length[first];
    const size_t window_stop = end[last - 1 - first];
    if (scan_order.keyed() && la > 0 && la <= kMaxFineLength && scan.length[last - 1] == la &&
        (window_stop == last || scan.length[window_stop - 1] <= kMaxFineLength)) {
      // One length for the whole tile and a window inside the fine screen: length by length and
      // first key by first key, only the run of second keys that some probe of the tile can reach
      // (the tile's probes have the same or neighbouring keys). A probe whose first key differs by
      // da and whose second differs by db from a row's has the third part differ by grow - da - db,
      // and the three differences together may not pass the limit.
      const uint32_t lb_last = window_stop > last ? scan.length[window_stop - 1] : la;
      const int64_t key_first = scan_order.key(first), key_last = scan_order.key(last - 1);
      auto floor_half = [](int64_t x) { return x >> 1; };
      auto ceil_half = [](int64_t x) { return -((-x) >> 1); };
      size_t pending_begin = 0, pending_end = 0;
      auto visit = [&](bool same_length) {
        const size_t begin = pending_begin, stop = pending_end;
        pending_begin = pending_end = 0;
        if (!same_length) {
          screen_shared(begin, stop);
          return;
        }
        // The probes' own length: only rows after the probe, so the rows past the tile are shared
        // and those inside it go probe by probe.
        for (size_t p = first; p < last; ++p) screen_alone(p, std::max(begin, p + 1), std::min(stop, last));
        screen_shared(std::max(begin, last), stop);
      };
      for (uint32_t lb = la; lb <= lb_last; ++lb) {
        if (least_overlap[la + lb] == kUnreachable) continue;
        const int64_t limit = distance_limit[la + lb], grow = lb - la;
        if (limit < grow) continue;
        const int64_t key_lo = std::max<int64_t>(0, key_first + ceil_half(grow - limit));
        const int64_t key_hi = std::min<int64_t>(lb, key_last + floor_half(grow + limit));
        for (int64_t key = key_lo; key <= key_hi; ++key) {
          int64_t second_lo = INT64_MAX, second_hi = INT64_MIN;
          for (size_t p = first; p < last; ++p) {
            const int64_t da = key - scan_order.key(p);
            const int64_t slack = limit - std::abs(da), rest = grow - da;
            if (slack < std::abs(rest)) continue;
            second_lo = std::min(second_lo, scan_order.second(p) + ceil_half(rest - slack));
            second_hi = std::max(second_hi, scan_order.second(p) + floor_half(rest + slack));
          }
          const auto [run_begin, run_end] = scan_order.second_run(lb, key, second_lo, second_hi);
          const size_t begin = run_begin, stop = run_end;
          if (begin == stop) continue;
          // Runs of neighbouring first keys a few rows apart are screened as one: the rows between
          // them cost less than another call.
          if (pending_begin < pending_end && begin <= pending_end + kJoinGap) {
            pending_end = std::max(pending_end, stop);
            continue;
          }
          visit(la == lb);
          pending_begin = begin;
          pending_end = stop;
        }
        visit(la == lb);
      }
    } else {
      // Windows end in ascending order, so the shared rows are [last, end of the first window).
      const size_t shared_begin = last, shared_end = std::max(last, end[0]);
      for (size_t p = first; p < last; ++p) {
        screen_alone(p, p + 1, std::min(shared_begin, end[p - first]));
        screen_alone(p, shared_end, end[p - first]);
      }
      screen_shared(shared_begin, shared_end);
    }
    admit_queued();
    counter.add(last - first);
    return row;
  };
  // Tiles in chunks; each chunk's rows join the waiting candidates in tile order. With a stream, a
  // chunk also ends early, after the tiles already taken, once more candidates wait than the stream
  // holds: where the threshold admits nearly every pair, a whole chunk would otherwise hold up to
  // chunk_probes times n of them before the first hand-over.
  const size_t chunk_tiles = std::max<size_t>(1, (stream ? stream->chunk_probes : kChunkProbes) / kTileProbes);
  std::vector<RankedCandidate> ranked;
  for (size_t begin = 0; begin < tiles;) {
    const size_t count = std::min(chunk_tiles, tiles - begin);
    std::atomic<size_t> waiting{ranked.size()};
    auto rows = detail::map_prefix_until<std::vector<RankedCandidate>>(
        count, parallel && count > 1,
        [&](size_t k) {
          std::vector<RankedCandidate> row = scan_tile(begin + k);
          waiting.fetch_add(row.size(), std::memory_order_relaxed);
          return row;
        },
        [&] { return stream != nullptr && waiting.load(std::memory_order_relaxed) > stream->hold; });
    begin += rows.size();
    size_t total = ranked.size();
    for (const auto& row : rows) total += row.size();
    if (total > ranked.capacity()) ranked.reserve(std::max(total, 2 * ranked.capacity()));
    for (auto& row : rows) {
      ranked.insert(ranked.end(), row.begin(), row.end());
      row = {};
    }
    if (stream != nullptr && ranked.size() > stream->hold && begin < tiles) {
      stream->flush(ranked);
      ranked = {};
      if (!stream->component.empty()) {
        component_at.resize(n);
        const std::vector<uint32_t>& component = stream->component;
        detail::for_each_index(n, parallel, [&](size_t p) { component_at[p] = component[order[p]]; },
                               with_min_len(4096));
        connected = component_at.data();
      }
    }
  }
  counter.finish();
  return ranked;
}

uint32_t find_root(std::vector<uint32_t>& parent, uint32_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

// The ranked order's buckets: candidates are first distributed by the leading kRankBucketBits bits
// of their key's offset from the least key, counted in kRankChunks pieces.
inline constexpr int kRankBucketBits = 14;
inline constexpr size_t kRankChunks = 8;
// Below this many candidates one sort of the whole list is as quick.
inline constexpr size_t kRankBucketMin = size_t{1} << 15;

// The candidates as pairs, highest bound first (ascending key), ties by lo, then hi; `ranked` is
// emptied. They are moved into buckets of consecutive keys, in one pass over memory, and each
// bucket is then sorted on its own, mostly inside the caches: the same order as one sort of the
// whole list, which would pass over all of it once for every level of its partitions.
std::vector<CandidatePair> in_rank_order(std::vector<RankedCandidate>& ranked, bool parallel) {
  auto less = [](const RankedCandidate& x, const RankedCandidate& y) {
    return std::tie(x.key, x.lo, x.hi) < std::tie(y.key, y.lo, y.hi);
  };
  const size_t m = ranked.size();
  if (m < kRankBucketMin) {
    detail::sort_items(ranked, parallel, less);
    std::vector<CandidatePair> pairs(m);
    for (size_t k = 0; k < m; ++k) pairs[k] = {ranked[k].lo, ranked[k].hi};
    ranked = {};
    return pairs;
  }
  auto chunk_begin = [m](size_t c) { return m * c / kRankChunks; };
  std::array<uint64_t, kRankChunks> lows, highs;
  detail::for_each_index(kRankChunks, parallel, [&](size_t c) {
    uint64_t lo = UINT64_MAX, hi = 0;
    for (size_t k = chunk_begin(c); k < chunk_begin(c + 1); ++k) {
      lo = std::min(lo, ranked[k].key);
      hi = std::max(hi, ranked[k].key);
    }
    lows[c] = lo;
    highs[c] = hi;
  });
  const uint64_t least = *std::min_element(lows.begin(), lows.end());
  const uint64_t span = *std::max_element(highs.begin(), highs.end()) - least;
  const int shift = std::max(0, static_cast<int>(std::bit_width(span)) - kRankBucketBits);
  const size_t buckets = static_cast<size_t>(span >> shift) + 1;
  auto bucket_of = [&](const RankedCandidate& c) { return static_cast<size_t>((c.key - least) >> shift); };
  // The bucket sizes, counted per chunk, then where each bucket begins.
  std::vector<size_t> counts(kRankChunks * buckets, 0);
  detail::for_each_index(kRankChunks, parallel, [&](size_t c) {
    size_t* own = counts.data() + c * buckets;
    for (size_t k = chunk_begin(c); k < chunk_begin(c + 1); ++k) ++own[bucket_of(ranked[k])];
  });
  std::vector<size_t> bucket_begin(buckets + 1, 0);
  for (size_t b = 0; b < buckets; ++b) {
    bucket_begin[b + 1] = bucket_begin[b];
    for (size_t c = 0; c < kRankChunks; ++c) bucket_begin[b + 1] += counts[c * buckets + b];
  }
  counts = {};
  // Every candidate moved into its bucket in place, each swap settling one: no second copy of the
  // list at the peak of memory.
  {
    std::vector<size_t> next(bucket_begin.begin(), bucket_begin.end() - 1);
    for (size_t b = 0; b < buckets; ++b) {
      while (next[b] < bucket_begin[b + 1]) {
        const size_t home = bucket_of(ranked[next[b]]);
        if (home == b) {
          ++next[b];
        } else {
          std::swap(ranked[next[b]], ranked[next[home]++]);
        }
      }
    }
  }
  std::vector<CandidatePair> pairs(m);
  // A bucket holding a large share of the candidates (many pairs of one bound) is sorted across
  // the pool; the rest one bucket per task.
  const size_t large = std::max<size_t>(kRankBucketMin, m / 8);
  auto sort_bucket = [&](size_t b) {
    const auto first = ranked.begin() + static_cast<ptrdiff_t>(bucket_begin[b]);
    const auto last = ranked.begin() + static_cast<ptrdiff_t>(bucket_begin[b + 1]);
    if (parallel && bucket_begin[b + 1] - bucket_begin[b] >= large) {
      parallel_sort(first, last, less);
    } else {
      std::sort(first, last, less);
    }
    for (size_t k = bucket_begin[b]; k < bucket_begin[b + 1]; ++k) pairs[k] = {ranked[k].lo, ranked[k].hi};
  };
  detail::for_each_index(buckets, parallel, [&](size_t b) {
    if (!parallel || bucket_begin[b + 1] - bucket_begin[b] < large) sort_bucket(b);
  }, with_min_len(64));
  if (parallel)
    for (size_t b = 0; b < buckets; ++b)
      if (bucket_begin[b + 1] - bucket_begin[b] >= large) sort_bucket(b);
  ranked = {};
  return pairs;
}

// Candidates waiting for the edge search beyond which the scan hands them on (16 bytes each).
// Handing them on often pays: every hand-over lets the rest of the scan skip the pairs it connected
// before their bounds are computed, ranked and tested, at the price of one pass over the components.
inline constexpr size_t kHeldCandidates = size_t{1} << 20;
// With progress lines on, candidates are held up to this many, so that the lines count all of them
// as one ranked list unless memory forbids it.
inline constexpr size_t kHeldWithLines = size_t{1} << 24;

// Whether the edge search takes the subsequence bound for pairs of long strings (the shorter one
// past kLcsMaxPattern, up to kLcsMaxLongPattern code points). Its cost grows with the product of
// the lengths, and whether that pays depends on the input: on unrelated texts over one alphabet,
// which the character counts cannot tell apart, it rules out nearly every pair at a small part of
// the exact test's cost; on windows of one source file the exact test is quick and the bound only
// adds. So both are timed on the long pairs of each batch: the bound, and the exact test on the
// pairs the bound would spare it (a few pairs the bound ruled out, tested anyway, while it is
// taken; every long pair while it is not). The bound is taken while its time per pair stays below
// the exact test's times the share of pairs it rules out, and tried again on every kRetry-th
// batch otherwise. Only time depends on it: the bound is exact.
class LongPairBound {
 public:
  using Clock = std::chrono::steady_clock;

  static bool long_pair(CodepointView a, CodepointView b) { return std::min(a.size(), b.size()) > kLcsMaxPattern; }

  // Called once per batch of pairs: whether this batch takes the bound.
  bool open() {
    const uint64_t tried = tried_.exchange(0, std::memory_order_relaxed);
    const uint64_t ruled_out = ruled_out_.exchange(0, std::memory_order_relaxed);
    const uint64_t bound_ns = bound_ns_.exchange(0, std::memory_order_relaxed);
    const uint64_t exact = exact_.exchange(0, std::memory_order_relaxed);
    const uint64_t exact_ns = exact_ns_.exchange(0, std::memory_order_relaxed);
    samples_.store(0, std::memory_order_relaxed);
    if (tried > 0) {
      bound_per_pair_ = static_cast<double>(bound_ns) / static_cast<double>(tried);
      ruled_out_share_ = static_cast<double>(ruled_out) / static_cast<double>(tried);
    }
    if (exact > 0) exact_per_pair_ = static_cast<double>(exact_ns) / static_cast<double>(exact);
    // Until the bound has been timed, it is taken; a bound that rules out nothing never pays, and
    // one that rules out pairs has had some of them timed by the exact test.
    pays_ = bound_per_pair_ < 0 ||
            (ruled_out_share_ > 0 && (exact_per_pair_ < 0 || bound_per_pair_ < ruled_out_share_ * exact_per_pair_));
    open_ = pays_ || ++closed_batches_ % kRetry == 0;
    return open_;
  }
  // Whether the pair may reach the threshold by the subsequence bound, for any pair of the batch.
  // `exact()` runs the pair's exact test and returns what it costs in nanoseconds, as the batch
  // would pay it without the bound; it is called for a few pairs the bound rules out.
  template <class Exact>
  bool allows(CodepointView a, CodepointView b, double threshold, Exact&& exact) {
    if (!long_pair(a, b)) return lcs_allows(a, b, threshold);
    if (!open_ || std::min(a.size(), b.size()) > kLcsMaxLongPattern) return true;
    Clock::time_point start = Clock::now();
    const bool allowed = lcs_allows(a, b, threshold, kLcsMaxLongPattern);
    bound_ns_.fetch_add(nanoseconds_since(start), std::memory_order_relaxed);
    tried_.fetch_add(1, std::memory_order_relaxed);
    if (!allowed) {
      ruled_out_.fetch_add(1, std::memory_order_relaxed);
      if (samples_.fetch_add(1, std::memory_order_relaxed) < kSamples) add_exact(exact());
    }
    return allowed;
  }
  // The time of one exact test of a long pair, from `start`; counted while the bound is not taken
  // (while it is, the pairs it lets through are no measure of those it spares).
  void exact_tested(Clock::time_point start) {
    if (!open_) add_exact(nanoseconds_since(start));
  }

  static uint64_t nanoseconds_since(Clock::time_point start) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
  }

 private:
  void add_exact(uint64_t ns) {
    exact_ns_.fetch_add(ns, std::memory_order_relaxed);
    exact_.fetch_add(1, std::memory_order_relaxed);
  }
  static constexpr uint64_t kRetry = 8;
  // Pairs ruled out by the bound and tested anyway, per batch.
  static constexpr uint64_t kSamples = 8;
  std::atomic<uint64_t> tried_{0}, ruled_out_{0}, bound_ns_{0}, exact_{0}, exact_ns_{0}, samples_{0};
  // The last batch's measures (negative: none yet).
  double bound_per_pair_ = -1, ruled_out_share_ = 0, exact_per_pair_ = -1;
  bool pays_ = true, open_ = true;
  uint64_t closed_batches_ = 0;
};

// The edge search: candidates tested best bound first in growing batches against lazily built
// match indexes, skipping every pair whose canonicals are already connected. It may run several
// times, on successive parts of the candidates; the components carry over from one to the next.
class EdgeSearch {
 public:
  EdgeSearch(std::span<const CodepointView> canonicals, MatchIndexTable& slots, double threshold,
             PhaseProgress* progress)
      : canonicals_(canonicals), slots_(slots), threshold_(threshold), progress_(progress), parent_(canonicals.size()) {
    std::iota(parent_.begin(), parent_.end(), 0u);
  }

  // Tests `ranked` (emptied) and adds the edges it finds. `counted` opens an "edges" phase for it.
  void run(std::vector<RankedCandidate>& ranked, bool counted) {
    const bool parallel = canonicals_.size() >= CLUSTER_PARALLEL_MIN;
    const std::vector<CandidatePair> pairs = in_rank_order(ranked, parallel);
    const size_t m = pairs.size();
    const uint64_t before = ranked_so_far_;
    ranked_so_far_ += m;
    if (m < CLUSTER_PARALLEL_MIN) {
      // So few pairs that the subsequence bound is taken for long ones without timing it: at its
      // worst it costs a few milliseconds here.
      for (const CandidatePair& c : pairs) {
        uint32_t rx = find_root(parent_, c.lo), ry = find_root(parent_, c.hi);
        if (rx == ry || !lcs_allows(canonicals_[c.lo], canonicals_[c.hi], threshold_, kLcsMaxLongPattern) ||
            !passes(c.lo, c.hi))
          continue;
        parent_[rx] = ry;
        edges.push_back({c.lo, c.hi, std::nullopt});
      }
      return;
    }
    progress_lines();
    std::optional<PhaseCounter> counter;
    if (counted) counter.emplace(progress_, "edges", m);
    size_t batch = std::clamp<size_t>(m / 16, 32, 256);
    size_t done = 0;
    std::vector<CandidatePair> tests;
    std::vector<size_t> runs;
    std::vector<uint8_t> reached;
    while (done < m) {
      const size_t start = done, end = std::min(m, done + batch);
      tests.clear();
      for (size_t k = done; k < end; ++k)
        if (find_root(parent_, pairs[k].lo) != find_root(parent_, pairs[k].hi)) tests.push_back(pairs[k]);
      done = end;
      if (counter) counter->add(end - start);
      batch = std::min(2 * batch, EDGE_BATCH_MAX);
      if (tests.empty()) continue;
      const size_t tested = tests.size();
      // The longest common subsequence settles most failing pairs before any index is built;
      // in (lo, hi) order, one pattern serves all the pairs of one lo.
      std::sort(tests.begin(), tests.end(), [](const CandidatePair& x, const CandidatePair& y) {
        return std::tie(x.lo, x.hi) < std::tie(y.lo, y.hi);
      });
      tests = allowed_by_subsequence(tests, tested >= CLUSTER_PARALLEL_MIN);
      // Pairs whose earlier string fits a run pattern are counted bit-parallel, one pattern per
      // lo; the rest against an index of their later string.
      count_short_pairs(tests, tested >= CLUSTER_PARALLEL_MIN);
      std::sort(tests.begin(), tests.end(), [](const CandidatePair& x, const CandidatePair& y) {
        return std::tie(x.hi, x.lo) < std::tie(y.hi, y.lo);
      });
      // Each run of one hi is tested against one index, built into the worker's own storage and
      // not kept: across a large input the indexes would outgrow the strings many times over.
      runs.clear();
      for (size_t k = 0; k < tests.size(); ++k)
        if (k == 0 || tests[k].hi != tests[k - 1].hi) runs.push_back(k);
      runs.push_back(tests.size());
      reached.assign(tests.size(), 0);
      auto test_run = [&](size_t r) {
        // Held through a pointer: a whole index in thread-local storage would take the loader's
        // small static TLS block of a module loaded at run time.
        thread_local std::unique_ptr<MatchIndex> own;
        const uint32_t hi = tests[runs[r]].hi;
        // Pairs of long strings are timed, the index's build with the run's first pair; when hi is
        // not long, no pair of the run is.
        const bool timed = canonicals_[hi].size() > kLcsMaxPattern;
        auto start = timed ? LongPairBound::Clock::now() : LongPairBound::Clock::time_point{};
        const MatchIndex* index = nullptr;
        if (slots_.slot(hi).ready()) {
          index = &slots_.match_index_of(hi);
        } else {
          if (!own) own = std::make_unique<MatchIndex>();
          build_match_index_into(canonicals_[hi], *own);
          index = own.get();
        }
        for (size_t k = runs[r]; k < runs[r + 1]; ++k) {
          reached[k] = ratio_reaches_fast(canonicals_[tests[k].lo], *index, canonicals_[hi], threshold_);
          if (timed) {
            if (LongPairBound::long_pair(canonicals_[tests[k].lo], canonicals_[hi])) long_pairs_.exact_tested(start);
            start = LongPairBound::Clock::now();
          }
        }
      };
      const size_t run_count = runs.size() - 1;
      if (run_count >= 2 && tests.size() >= CLUSTER_PARALLEL_MIN) {
        parallel_for_each(run_count, test_run);
      } else {
        for (size_t r = 0; r < run_count; ++r) test_run(r);
      }
      add_edges(tests, reached);
      if (progress_lines_) write_edge_progress(before + done, ranked_so_far_, tested, edges.size());
    }
    if (counter) counter->finish();
  }

  // Whether edge-search progress lines are written: looked up once per call, when first asked.
  bool progress_lines() {
    if (!lines_looked_up_) {
      progress_lines_ = progress_enabled();
      lines_looked_up_ = true;
    }
    return progress_lines_;
  }

  // Every canonical's component so far, as the root of its tree.
  void components(std::vector<uint32_t>& out) {
    out.resize(parent_.size());
    for (uint32_t k = 0; k < parent_.size(); ++k) out[k] = find_root(parent_, k);
  }

  std::vector<ClusterEdge> edges;

 private:
  // The pairs of `tests` whose longest common subsequence lets them reach the threshold, in order.
  // Their strings lie scattered over memory far larger than the caches, so the views of a pair
  // 2 * kAhead places ahead and the text of one kAhead places ahead are fetched while the current
  // pair is tested.
  std::vector<CandidatePair> allowed_by_subsequence(const std::vector<CandidatePair>& tests, bool parallel) {
    constexpr size_t kAhead = 8;
    long_pairs_.open();
    // The batch's pairs per hi, found by the first pair that needs it (0 until then): only pairs of
    // long strings that the bound rules out do.
    std::atomic<uint64_t> per_hi{0};
    auto pairs_per_hi = [&] {
      uint64_t known = per_hi.load(std::memory_order_relaxed);
      if (known != 0) return known;
      std::vector<uint32_t> his;
      his.reserve(tests.size());
      for (const CandidatePair& c : tests) his.push_back(c.hi);
      std::sort(his.begin(), his.end());
      const auto distinct = static_cast<uint64_t>(std::unique(his.begin(), his.end()) - his.begin());
      known = std::max<uint64_t>(1, tests.size() / std::max<uint64_t>(1, distinct));
      per_hi.store(known, std::memory_order_relaxed);
      return known;
    };
    std::vector<uint8_t> allowed(tests.size());
    auto fetch_text = [](CodepointView s) {
      __builtin_prefetch(s.data());
      __builtin_prefetch(s.data() + 16);
    };
    auto piece = [&](size_t begin, size_t end) {
      for (size_t k = begin; k < end; ++k) {
        if (k + 2 * kAhead < end) {
          __builtin_prefetch(&canonicals_[tests[k + 2 * kAhead].lo]);
          __builtin_prefetch(&canonicals_[tests[k + 2 * kAhead].hi]);
        }
        if (k + kAhead < end) {
          fetch_text(canonicals_[tests[k + kAhead].lo]);
          fetch_text(canonicals_[tests[k + kAhead].hi]);
        }
        const CodepointView lo = canonicals_[tests[k].lo], hi = canonicals_[tests[k].hi];
        // Without the bound, hi's index would be built once for its pairs in the batch.
        allowed[k] = long_pairs_.allows(lo, hi, threshold_, [&] {
          auto start = LongPairBound::Clock::now();
          MatchIndex index;
          build_match_index_into(hi, index);
          const uint64_t build = LongPairBound::nanoseconds_since(start);
          start = LongPairBound::Clock::now();
          ratio_reaches_fast(lo, index, hi, threshold_);
          return LongPairBound::nanoseconds_since(start) + build / pairs_per_hi();
        });
      }
    };
    if (parallel) {
      parallel_for_each_range(tests.size(), piece, with_min_len(64));
    } else {
      piece(0, tests.size());
    }
    std::vector<CandidatePair> kept;
    for (size_t k = 0; k < tests.size(); ++k)
      if (allowed[k]) kept.push_back(tests[k]);
    return kept;
  }

  // Joins the components of every pair of `tests` marked in `reached` and records it as an edge.
  void add_edges(const std::vector<CandidatePair>& tests, const std::vector<uint8_t>& reached) {
    for (size_t k = 0; k < tests.size(); ++k) {
      if (!reached[k]) continue;
      const CandidatePair& c = tests[k];
      uint32_t rx = find_root(parent_, c.lo), ry = find_root(parent_, c.hi);
      if (rx != ry) parent_[rx] = ry;
      edges.push_back({c.lo, c.hi, std::nullopt});
    }
  }

  static constexpr size_t kCountTextMax = 8192;

  // Tests the pairs of `tests` (in (lo, hi) order) whose lo the bit-parallel match count serves
  // (at most kRunMaxCountPattern code points) by that count, adds the edges found and leaves the
  // other pairs in `tests`, in the same order. The count is the exact gestalt count below the
  // limit, so the answer is the indexed search's. Pairs with a text longer than kCountTextMax are
  // left to the search.
  void count_short_pairs(std::vector<CandidatePair>& tests, bool parallel) {
    std::vector<size_t> lo_runs;
    for (size_t k = 0; k < tests.size(); ++k) {
      if (canonicals_[tests[k].lo].size() > kRunMaxCountPattern) continue;
      if (lo_runs.empty() || tests[k].lo != tests[lo_runs.back()].lo) lo_runs.push_back(k);
    }
    if (lo_runs.empty()) return;
    // 0: left to the indexed search, 1: below the threshold, 2: reaches it.
    std::vector<uint8_t> outcome(tests.size(), 0);
    auto count_run = [&](size_t r) {
      // Held through a pointer, like the match indexes: the pattern's tables are large for
      // thread-local storage of a module loaded at run time.
      thread_local std::unique_ptr<RunPattern> own;
      if (!own) own = std::make_unique<RunPattern>();
      const uint32_t lo = tests[lo_runs[r]].lo;
      const CodepointView a = canonicals_[lo];
      own->build(a);
      if (!own->countable()) return;
      for (size_t k = lo_runs[r]; k < tests.size() && tests[k].lo == lo; ++k) {
        const CodepointView b = canonicals_[tests[k].hi];
        // The count keeps a row of run lengths per text character, in the worker's own storage
        // for its later calls: a text far longer than any pattern goes to the indexed search.
        if (b.size() > kCountTextMax) continue;
        const uint64_t need = need_for(threshold_, a.size() + b.size());
        outcome[k] = need == 0 || own->match_count(b, need) >= need ? 2 : 1;
      }
    };
    if (parallel && lo_runs.size() >= 2)
      parallel_for_each(lo_runs.size(), count_run);
    else
      for (size_t r = 0; r < lo_runs.size(); ++r) count_run(r);
    std::vector<uint8_t> reached(tests.size(), 0);
    std::vector<CandidatePair> rest;
    for (size_t k = 0; k < tests.size(); ++k) {
      reached[k] = outcome[k] == 2;
      if (outcome[k] == 0) rest.push_back(tests[k]);
    }
    add_edges(tests, reached);
    tests = std::move(rest);
  }

  bool passes(uint32_t lo, uint32_t hi) {
    return ratio_reaches_fast(canonicals_[lo], slots_.match_index_of(hi), canonicals_[hi], threshold_);
  }

  std::span<const CodepointView> canonicals_;
  MatchIndexTable& slots_;
  double threshold_;
  PhaseProgress* progress_;
  std::vector<uint32_t> parent_;
  uint64_t ranked_so_far_ = 0;
  bool lines_looked_up_ = false, progress_lines_ = false;
  LongPairBound long_pairs_;
};

// The clustering of canonicals that contain no more than two copies of any string; past `hold`
// waiting candidates the scan hands them on to the edge search.
std::vector<Cluster> cluster_distinct(std::span<const CodepointView> canonicals, double threshold, size_t hold,
                                      size_t chunk_probes) {
  const size_t n = canonicals.size();
  const bool parallel = n >= CLUSTER_PARALLEL_MIN;
  auto histograms =
      detail::map_indices<CharHistogram>(n, parallel, [&](size_t k) { return char_histogram(canonicals[k]); });

  PhaseProgress* progress = current_phase_progress();
  MatchIndexTable slots(canonicals);
  EdgeSearch search(canonicals, slots, threshold, progress);
  // Past `hold` waiting candidates (kHeldWithLines while progress lines are on), the scan hands
  // them to the edge search, whose components then let it skip pairs already connected: memory
  // stays bounded however many pairs the threshold admits.
  CandidateStream stream;
  stream.hold = search.progress_lines() ? std::max(hold, kHeldWithLines) : hold;
  stream.chunk_probes = chunk_probes;
  bool streamed = false;
  stream.flush = [&](std::vector<RankedCandidate>& found) {
    streamed = true;
    search.run(found, false);
    search.components(stream.component);
  };
  std::vector<RankedCandidate> ranked =
      ranked_candidates(canonicals, histograms, threshold, true, progress, &stream);
  stream = {};
  histograms = {};

  if (ranked.size() == 1 && !streamed) {
    const uint32_t lo = ranked[0].lo, hi = ranked[0].hi;
    const uint64_t t = canonicals[lo].size() + canonicals[hi].size();
    if (t == 0) {
      search.edges.push_back({lo, hi, 1.0});
    } else if (canonicals[lo].empty() || canonicals[hi].empty()) {
      if (need_for(threshold, t) == 0) search.edges.push_back({lo, hi, 0.0});
    } else {
      Reach reach = ratio_reaches(canonicals[lo], slots.match_index_of(hi), canonicals[hi], threshold);
      if (reach.reached) search.edges.push_back({lo, hi, reach.ratio});
    }
  } else if (!ranked.empty()) {
    search.run(ranked, true);
  }
  return form_clusters(n, search.edges, canonicals, slots);
}

}  // namespace

namespace detail {

std::vector<std::pair<uint32_t, uint32_t>> rank_order(std::span<const double> bounds,
                                                     std::span<const std::pair<uint32_t, uint32_t>> pairs,
                                                     bool parallel) {
  ensure(bounds.size() == pairs.size(), "one bound for every pair");
  std::vector<RankedCandidate> ranked(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k)
    ranked[k] = {~std::bit_cast<uint64_t>(bounds[k]), pairs[k].first, pairs[k].second};
  std::vector<std::pair<uint32_t, uint32_t>> out;
  out.reserve(pairs.size());
  for (const CandidatePair& c : in_rank_order(ranked, parallel)) out.emplace_back(c.lo, c.hi);
  return out;
}

std::vector<std::pair<uint32_t, uint32_t>> candidate_pairs(std::span<const CodepointView> canonicals, double threshold,
                                                          bool plain_scan, size_t groups) {
  const size_t n = canonicals.size();
  ensure(n < UINT32_MAX, "too many canonicals for one clustering call");
  auto histograms = detail::map_indices<CharHistogram>(n, n >= CLUSTER_PARALLEL_MIN,
                                                       [&](size_t k) { return char_histogram(canonicals[k]); });
  auto ranked =
      ranked_candidates(canonicals, histograms, threshold, !plain_scan, nullptr, nullptr, groups);
  std::vector<std::pair<uint32_t, uint32_t>> pairs;
  pairs.reserve(ranked.size());
  for (const RankedCandidate& c : ranked) pairs.emplace_back(c.lo, c.hi);
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

}  // namespace detail

std::vector<Cluster> cluster_exact(std::span<const CodepointView> canonicals, double threshold) {
  return detail::cluster_exact_holding(canonicals, threshold, kHeldCandidates, kChunkProbes);
}

std::vector<Cluster> detail::cluster_exact_holding(std::span<const CodepointView> canonicals, double threshold,
                                                   size_t hold, size_t chunk_probes) {
  const size_t n = canonicals.size();
  if (n < 2) return {};
  ensure(n < UINT32_MAX, "too many canonicals for one clustering call");

  // Copies. Comparisons are oriented (lower index scanned, higher index indexed), and for two
  // distinct strings the orientations that occur among all their copies are exactly those that
  // occur among the first and last copy of each. Copies of one string have ratio 1.0, never lower a
  // minimum, and are linked to each other whenever the threshold admits any pair at all. So the
  // clustering of the first and last copies, with every other copy joined to its first copy's
  // cluster, is the clustering of the full input.
  // Canonicals grouped by hash (hashes and the sort spread over the pool), then, within a group
  // in index order, each matched against the group's distinct strings so far.
  const bool parallel = n >= CLUSTER_PARALLEL_MIN;
  const std::vector<uint64_t> hash =
      detail::map_indices<uint64_t>(n, parallel, [&](size_t k) { return detail::CodepointHash{}(canonicals[k]); });
  std::vector<uint32_t> by_hash(n);
  std::iota(by_hash.begin(), by_hash.end(), 0u);
  detail::sort_items(by_hash, parallel, [&](uint32_t x, uint32_t y) {
    return hash[x] != hash[y] ? hash[x] < hash[y] : x < y;
  });
  std::vector<uint32_t> first_of(n), last_of(n), distinct;
  for (size_t begin = 0, end = 0; begin < n; begin = end) {
    end = begin + 1;
    while (end < n && hash[by_hash[end]] == hash[by_hash[begin]]) ++end;
    distinct.clear();
    for (size_t r = begin; r < end; ++r) {
      const uint32_t k = by_hash[r];
      auto same = std::find_if(distinct.begin(), distinct.end(), [&](uint32_t d) {
        return detail::CodepointEqual{}(canonicals[d], canonicals[k]);
      });
      const uint32_t first = same == distinct.end() ? k : *same;
      if (same == distinct.end()) distinct.push_back(k);
      first_of[k] = first;
      last_of[first] = k;
    }
  }
  std::vector<uint32_t> keep;
  keep.reserve(n);
  for (uint32_t k = 0; k < n; ++k)
    if (first_of[k] == k || last_of[first_of[k]] == k) keep.push_back(k);
  if (keep.size() == n) return cluster_distinct(canonicals, threshold, hold, chunk_probes);

  std::vector<CodepointView> reduced(keep.size());
  for (size_t r = 0; r < keep.size(); ++r) reduced[r] = canonicals[keep[r]];
  std::vector<Cluster> clusters = cluster_distinct(reduced, threshold, hold, chunk_probes);
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> cluster_of_first(n, kNone);
  for (uint32_t c = 0; c < clusters.size(); ++c)
    for (uint64_t& member : clusters[c].members) {
      member = keep[member];
      if (first_of[member] == member) cluster_of_first[member] = static_cast<uint32_t>(c);
    }
  std::vector<bool> grown(clusters.size(), false);
  for (uint32_t k = 0; k < n; ++k) {
    if (first_of[k] == k || last_of[first_of[k]] == k) continue;
    uint32_t c = cluster_of_first[first_of[k]];
    if (c == kNone) continue;
    clusters[c].members.push_back(k);
    grown[c] = true;
  }
  for (size_t c = 0; c < clusters.size(); ++c)
    if (grown[c]) std::sort(clusters[c].members.begin(), clusters[c].members.end());
  return clusters;
}

}  // namespace simsieve
