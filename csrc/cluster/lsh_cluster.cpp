#include "cluster/lsh_cluster.hpp"

#include <algorithm>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include "cluster/char_histogram.hpp"
#include "cluster/form_clusters.hpp"
#include "cluster/lazy_match_index.hpp"
#include "cluster/lsh_banding.hpp"
#include "cluster/lsh_verify.hpp"
#include "cluster/minhash.hpp"
#include "cluster/progress.hpp"
#include "pool/phase_progress.hpp"
#include "common/internal_error.hpp"
#include "gestalt/bounded.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/match_index.hpp"
#include "pool/parallel.hpp"

namespace simsieve {
namespace {

// Steps over fewer items than this run on the calling thread.
constexpr size_t kParallelMin = 32;

uint64_t physical_memory() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long page = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 0;
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(pages), static_cast<uint64_t>(page), &bytes)) return UINT64_MAX;
  return bytes;
}

// Byte-identical canonicals. Every copy of a string has the same shingles, the same signature and
// so the same buckets as the string's first copy, and their pairs all have ratio 1.0; so bands
// and comparisons only need each distinct string once. The copies matter only through the order
// in which they meet other strings (comparisons are oriented by input position) and through the
// counts of the progress lines.
struct Copies {
  std::vector<uint32_t> string_of;  // per input position: its distinct string
  std::vector<uint32_t> first, last;  // per distinct string: positions of its first and last copy
  std::vector<uint32_t> offset;       // positions of string s: position[offset[s] .. offset[s + 1])
  std::vector<uint32_t> position;

  size_t distinct() const { return first.size(); }
  uint64_t count(uint32_t s) const { return offset[s + 1] - offset[s]; }
  std::span<const uint32_t> positions(uint32_t s) const {
    return {position.data() + offset[s], position.data() + offset[s + 1]};
  }
};

Copies find_copies(std::span<const std::string_view> canonicals) {
  const auto n = static_cast<uint32_t>(canonicals.size());
  Copies c;
  c.string_of.resize(n);
  {
    std::unordered_map<std::string_view, uint32_t> seen;
    seen.reserve(n);
    for (uint32_t k = 0; k < n; ++k) {
      auto [it, inserted] = seen.try_emplace(canonicals[k], static_cast<uint32_t>(c.first.size()));
      if (inserted) {
        c.first.push_back(k);
        c.last.push_back(k);
      }
      c.string_of[k] = it->second;
      c.last[it->second] = k;
    }
  }
  const size_t d = c.first.size();
  c.offset.assign(d + 1, 0);
  for (uint32_t s : c.string_of) ++c.offset[s + 1];
  for (size_t s = 0; s < d; ++s) c.offset[s + 1] += c.offset[s];
  c.position.resize(n);
  std::vector<uint32_t> fill(c.offset.begin(), c.offset.end() - 1);
  for (uint32_t k = 0; k < n; ++k) c.position[fill[c.string_of[k]]++] = k;
  return c;
}

// Number of pairs (x, y), x a copy of s and y a copy of t, with x before y.
uint64_t pairs_in_order(std::span<const uint32_t> xs, std::span<const uint32_t> ys) {
  uint64_t pairs = 0;
  if (xs.size() <= ys.size()) {
    for (uint32_t x : xs) pairs += static_cast<uint64_t>(ys.end() - std::upper_bound(ys.begin(), ys.end(), x));
  } else {
    for (uint32_t y : ys) pairs += static_cast<uint64_t>(std::lower_bound(xs.begin(), xs.end(), y) - xs.begin());
  }
  return pairs;
}

// Band hashes of the distinct strings, band-major: hashes[t * d + s] is band t of string s.
std::vector<uint64_t> band_hashes_of(std::span<const std::string_view> canonicals, const Copies& copies, uint64_t nbands,
                                     uint64_t band_rows, PhaseCounter& counter) {
  const size_t d = copies.distinct();
  const uint64_t rows = nbands * band_rows;
  // Rows past the last whole band take part in no band, so their permutations are never needed.
  const MinHashParams params = minhash_params(rows);
  std::vector<uint64_t> hashes(nbands * d);
  auto piece = [&](size_t begin, size_t end) {
    std::vector<uint64_t> shingles;
    uint64_t done = 0;  // canonicals, copies included
    for (size_t s = begin; s < end; ++s) {
      shingle_hashes(canonicals[copies.first[s]], shingles);
      minhash_band_hashes(shingles, params, band_rows, hashes.data() + s, d);
      done += copies.count(s);
      if ((s - begin) % 1024 == 1023) counter.add(std::exchange(done, 0));
    }
    counter.add(done);
  };
  if (d < kParallelMin)
    piece(0, d);
  else
    parallel_for_each_range(d, piece, with_min_len(16));
  return hashes;
}

}  // namespace

LshTableSize lsh_table_size(uint64_t n, uint64_t num_perm, uint64_t band_rows) {
  LshTableSize size;
  size.memory = physical_memory();
  // The permutation table (two words per permutation) and the band hashes; signatures are folded
  // into band hashes row by row and never stored.
  const uint64_t nbands = band_count(n, num_perm, band_rows);
  uint64_t table = 0, bands = 0, total = 0;
  if (__builtin_mul_overflow(num_perm, uint64_t{16}, &table) || __builtin_mul_overflow(n, nbands, &bands) ||
      __builtin_mul_overflow(bands, uint64_t{8}, &bands) || __builtin_add_overflow(table, bands, &total)) {
    size.verdict = LshTableSize::Verdict::overflows;
    return size;
  }
  size.bytes = total;
  if (size.memory != 0 && total > size.memory) size.verdict = LshTableSize::Verdict::exceeds_memory;
  return size;
}

std::vector<Cluster> cluster_lsh(std::span<const std::string> canonicals, double threshold, uint64_t num_perm,
                                 uint64_t band_rows) {
  const std::vector<std::string_view> views(canonicals.begin(), canonicals.end());
  return cluster_lsh(std::span<const std::string_view>(views), threshold, num_perm, band_rows);
}

std::vector<Cluster> cluster_lsh(std::span<const std::string_view> canonicals, double threshold, uint64_t num_perm,
                                 uint64_t band_rows) {
  const bool progress = progress_enabled();
  const ProgressClock clock;
  const size_t n = canonicals.size();
  ensure(n < UINT32_MAX, "too many canonicals for one clustering call");

  const Copies copies = find_copies(canonicals);
  const size_t d = copies.distinct();
  const uint64_t nbands = band_count(n, num_perm, band_rows);

  PhaseProgress* phases = current_phase_progress();
  std::vector<uint64_t> hashes;
  {
    PhaseCounter signatures(phases, "signatures", n);
    if (nbands > 0) hashes = band_hashes_of(canonicals, copies, nbands, band_rows, signatures);
    signatures.finish();
  }
  if (progress) write_lsh_signatures(n, clock.seconds());

  // Banding, one bucket map at a time.
  CandidateSet set;
  {
    PhaseCounter bands(phases, "candidates", nbands);
    BandScratch scratch;
    for (uint64_t t = 0; t < nbands; ++t) {
      poll_and_check_cancelled();
      add_band_pairs(std::span<const uint64_t>(hashes).subspan(t * d, d), set, scratch);
      bands.add(1);
    }
    bands.finish();
  }
  hashes = {};
  const std::vector<uint64_t> candidates = set.take_sorted();

  // Copies of one string share every bucket, so with at least one band they are candidates of
  // each other; and every copy of s pairs with every copy of t when s and t are candidates.
  if (progress) {
    uint64_t pairs = 0;
    for (uint64_t key : candidates) pairs += copies.count(CandidateSet::lo_of(key)) * copies.count(CandidateSet::hi_of(key));
    if (nbands > 0)
      for (uint32_t s = 0; s < d; ++s) pairs += copies.count(s) * (copies.count(s) - 1) / 2;
    write_lsh_candidates(pairs, clock.seconds());
  }

  // Code points and histograms of the strings that can end up in a cluster (those in a candidate
  // pair and those with copies).
  std::vector<uint8_t> used(d, 0);
  for (uint64_t key : candidates) used[CandidateSet::lo_of(key)] = used[CandidateSet::hi_of(key)] = 1;
  for (uint32_t s = 0; s < d; ++s)
    if (copies.count(s) >= 2) used[s] = 1;
  auto decode = [&](size_t s) { return used[s] ? decode_utf8(canonicals[copies.first[s]]) : std::vector<uint32_t>{}; };
  std::vector<std::vector<uint32_t>> code_points;
  if (d < kParallelMin) {
    for (size_t s = 0; s < d; ++s) code_points.push_back(decode(s));
  } else {
    code_points = parallel_map_collect<std::vector<uint32_t>>(d, decode, with_min_len(64));
  }
  const std::vector<CodepointView> text = codepoint_views(code_points);
  auto histogram = [&](size_t s) { return used[s] ? char_histogram(text[s]) : CharHistogram{}; };
  std::vector<CharHistogram> histograms;
  if (d < kParallelMin) {
    for (size_t s = 0; s < d; ++s) histograms.push_back(histogram(s));
  } else {
    histograms = parallel_map_collect<CharHistogram>(d, histogram, with_min_len(64));
  }
  const std::vector<uint64_t> plausible = plausible_candidates(candidates, text, histograms, threshold);
  histograms = {};

  const DistinctStrings strings{text, copies.first, copies.last};
  PhaseCounter verify(phases, "verify", plausible.size());
  const std::vector<PairVerdict> verdicts = verify_candidates(plausible, strings, threshold, &verify);
  verify.finish();

  // Copies of a string are linked to each other (ratio 1.0, or two empty strings) when they share
  // a bucket, i.e. when there is a band, and the threshold admits a full match.
  auto copies_linked = [&](uint32_t s) {
    if (nbands == 0) return false;
    const uint64_t len = text[s].size();
    return len == 0 || need_for(threshold, 2 * len) <= len;
  };
  if (progress) {
    uint64_t verified = 0;
    for (const PairVerdict& v : verdicts) {
      const uint64_t both = copies.count(v.s) * copies.count(v.t);
      const uint64_t forward = both == 1 ? 1 : pairs_in_order(copies.positions(v.s), copies.positions(v.t));
      if (v.forward) verified += forward;
      if (v.backward) verified += both - forward;
    }
    for (uint32_t s = 0; s < d; ++s)
      if (copies.count(s) >= 2 && copies_linked(s)) verified += copies.count(s) * (copies.count(s) - 1) / 2;
    write_lsh_verified(verified, clock.seconds());
  }

  // The reduced input: the first and the last copy of every string, in input order. Between two
  // strings, these copies meet in every orientation that any of their copies meet in; a copy in
  // between adds no new pair and rejoins its first copy's cluster afterwards.
  std::vector<uint32_t> reduced_position;  // reduced index -> input position
  std::vector<uint32_t> reduced_of(n, UINT32_MAX);
  for (uint32_t k = 0; k < n; ++k) {
    const uint32_t s = copies.string_of[k];
    if (copies.first[s] == k || copies.last[s] == k) {
      reduced_of[k] = static_cast<uint32_t>(reduced_position.size());
      reduced_position.push_back(k);
    }
  }
  const size_t r = reduced_position.size();

  std::vector<ClusterEdge> edges;
  for (const PairVerdict& v : verdicts) {
    const uint32_t xs[2] = {copies.first[v.s], copies.last[v.s]};
    const uint32_t ys[2] = {copies.first[v.t], copies.last[v.t]};
    for (size_t a = 0; a < (xs[0] == xs[1] ? 1u : 2u); ++a)
      for (size_t b = 0; b < (ys[0] == ys[1] ? 1u : 2u); ++b) {
        const uint32_t x = reduced_of[xs[a]], y = reduced_of[ys[b]];
        if (x < y && v.forward) edges.push_back({x, y, v.forward_ratio});
        if (y < x && v.backward) edges.push_back({y, x, v.backward_ratio});
      }
  }
  for (uint32_t s = 0; s < d; ++s)
    if (copies.count(s) >= 2 && copies_linked(s))
      edges.push_back({reduced_of[copies.first[s]], reduced_of[copies.last[s]], 1.0});
  if (edges.empty()) return {};

  std::vector<CodepointView> reduced_text(r);
  for (size_t k = 0; k < r; ++k) reduced_text[k] = text[copies.string_of[reduced_position[k]]];
  MatchIndexTable slots(reduced_text);
  std::vector<Cluster> clusters = form_clusters(r, edges, reduced_text, slots);

  // Back to input positions, with the copies in between rejoining their first copy.
  for (Cluster& c : clusters) {
    bool grown = false;
    const size_t m = c.members.size();
    for (size_t x = 0; x < m; ++x) {
      const uint32_t k = reduced_position[c.members[x]];
      c.members[x] = k;
      const uint32_t s = copies.string_of[k];
      if (copies.first[s] != k || copies.count(s) < 3 || !copies_linked(s)) continue;
      std::span<const uint32_t> all = copies.positions(s);
      c.members.insert(c.members.end(), all.begin() + 1, all.end() - 1);
      grown = true;
    }
    if (grown) std::sort(c.members.begin(), c.members.end());
  }
  return clusters;
}

}  // namespace simsieve
