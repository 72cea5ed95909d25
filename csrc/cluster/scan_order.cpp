#include "cluster/scan_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "cluster/parallel_steps.hpp"

namespace simsieve {
namespace {

// The leading eigenvector of a symmetric matrix, by power iteration; zero when the matrix
// maps the start vector to zero.
using GroupVector = std::array<double, kFineGroups>;
using GroupMatrix = std::array<GroupVector, kFineGroups>;

GroupVector leading_direction(const GroupMatrix& m) {
  constexpr size_t kRounds = 40, G = kFineGroups;
  GroupVector v;
  for (size_t g = 0; g < G; ++g) v[g] = 1.0 + static_cast<double>(g) / G * (g % 2 ? -1.0 : 1.0);
  for (size_t round = 0; round < kRounds; ++round) {
    GroupVector w{};
    for (size_t g = 0; g < G; ++g)
      for (size_t h = 0; h < G; ++h) w[g] += m[g][h] * v[h];
    double norm = 0;
    for (double x : w) norm += x * x;
    norm = std::sqrt(norm);
    if (!(norm > 0)) return GroupVector{};
    for (size_t g = 0; g < G; ++g) v[g] = w[g] / norm;
  }
  return v;
}

// Two of three parts of the fine groups, as bit masks: the groups sorted by their angle in the
// plane of the two leading eigenvectors of the covariance of the groups' shares in a canonical,
// over a sample, and cut into three arcs. Rows far apart along either direction then differ in
// their part counts.
std::array<uint32_t, 2> varying_parts(const std::vector<CharHistogram>& histograms, const CharGroups& groups) {
  constexpr size_t kSample = 4096, G = kFineGroups;
  const size_t n = histograms.size();
  const size_t step = std::max<size_t>(1, n / kSample);
  std::vector<GroupVector> shares;
  for (size_t k = 0; k < n; k += step) {
    const CharHistogram& h = histograms[k];
    if (h.length == 0 || h.length > kMaxFineLength) continue;
    GroupVector s{};
    for (const CharCount& c : h.counts) s[groups.of(c.code_point)] += c.count;
    for (double& v : s) v /= h.length;
    shares.push_back(s);
  }
  if (shares.size() < 2) return {0, 0};
  GroupVector mean{};
  for (const auto& s : shares)
    for (size_t g = 0; g < G; ++g) mean[g] += s[g] / static_cast<double>(shares.size());
  GroupMatrix cov{};
  for (const auto& s : shares)
    for (size_t g = 0; g < G; ++g)
      for (size_t h = 0; h < G; ++h) cov[g][h] += (s[g] - mean[g]) * (s[h] - mean[h]);
  const GroupVector first = leading_direction(cov);
  // The second direction: the leading one once the first one's share is taken out.
  double along = 0;
  for (size_t g = 0; g < G; ++g)
    for (size_t h = 0; h < G; ++h) along += first[g] * cov[g][h] * first[h];
  for (size_t g = 0; g < G; ++g)
    for (size_t h = 0; h < G; ++h) cov[g][h] -= along * first[g] * first[h];
  const GroupVector second = leading_direction(cov);
  std::array<uint8_t, G> by_angle;
  std::iota(by_angle.begin(), by_angle.end(), uint8_t{0});
  std::array<double, G> angle;
  for (size_t g = 0; g < G; ++g) angle[g] = std::atan2(second[g], first[g]);
  std::stable_sort(by_angle.begin(), by_angle.end(), [&](uint8_t x, uint8_t y) { return angle[x] < angle[y]; });
  std::array<uint32_t, 2> parts{};
  for (size_t k = 0; k < G; ++k)
    if (k < G / 3) parts[0] |= uint32_t{1} << by_angle[k];
    else if (k < 2 * G / 3) parts[1] |= uint32_t{1} << by_angle[k];
  return parts;
}

}  // namespace

CharGroups balanced_groups(const std::vector<CharHistogram>& histograms) {
  std::array<uint64_t, 128> frequency{};
  for (const CharHistogram& h : histograms)
    for (const CharCount& c : h.counts)
      if (c.code_point < 128) frequency[c.code_point] += c.count;
  std::array<uint8_t, 128> chars;
  std::iota(chars.begin(), chars.end(), uint8_t{0});
  std::stable_sort(chars.begin(), chars.end(), [&](uint8_t x, uint8_t y) { return frequency[x] > frequency[y]; });
  std::array<uint64_t, kFineGroups> load{};
  CharGroups g;
  for (uint8_t c : chars) {
    auto lightest = static_cast<uint8_t>(std::min_element(load.begin(), load.end()) - load.begin());
    g.ascii[c] = lightest;
    load[lightest] += frequency[c] + 1;
  }
  return g;
}

ScanOrder::ScanOrder(const std::vector<CharHistogram>& histograms, const CharGroups& groups, bool keyed,
                     bool parallel)
    : keyed_(keyed) {
  const size_t n = histograms.size();
  std::vector<uint8_t> key_of(n, 0), second_of(n, 0);
  if (keyed) {
    const std::array<uint32_t, 2> parts = varying_parts(histograms, groups);
    auto keys = [&](size_t k) {
      const CharHistogram& h = histograms[k];
      if (h.length > kMaxFineLength) return;
      uint32_t count[2] = {0, 0};
      for (const CharCount& c : h.counts) {
        const uint8_t g = groups.of(c.code_point);
        count[0] += (parts[0] >> g & 1) ? c.count : 0;
        count[1] += (parts[1] >> g & 1) ? c.count : 0;
      }
      key_of[k] = static_cast<uint8_t>(count[0]);
      second_of[k] = static_cast<uint8_t>(count[1]);
    };
    detail::for_each_index(n, parallel, keys, with_min_len(1024));
  }
  order_.resize(n);
  std::iota(order_.begin(), order_.end(), 0u);
  // Ties by index: the stable order of (length, keys), whichever sort runs.
  detail::sort_items(order_, parallel, [&](uint32_t x, uint32_t y) {
    const uint32_t lx = histograms[x].length, ly = histograms[y].length;
    if (lx != ly) return lx < ly;
    if (key_of[x] != key_of[y]) return key_of[x] < key_of[y];
    return second_of[x] != second_of[y] ? second_of[x] < second_of[y] : x < y;
  });
  key_.resize(n);
  second_.resize(n);
  for (size_t p = 0; p < n; ++p) {
    key_[p] = key_of[order_[p]];
    second_[p] = second_of[order_[p]];
  }
  // Positions are grouped by length, so each length's first position bounds its keys' search.
  class_begin_.assign(kMaxFineLength + 2, static_cast<uint32_t>(n));
  for (size_t p = n; p-- > 0;) {
    const uint32_t l = histograms[order_[p]].length;
    class_begin_[std::min(l, kMaxFineLength + 1)] = static_cast<uint32_t>(p);
  }
  for (size_t l = kMaxFineLength + 1; l-- > 0;) class_begin_[l] = std::min(class_begin_[l], class_begin_[l + 1]);
  if (!keyed) return;
  // Runs of each first key (keys 0 to length, and one entry past them for the end), and in each
  // run the first position of every second key between its least and largest.
  cell_base_.resize(kMaxFineLength + 1);
  size_t cells = 0;
  for (uint32_t l = 0; l <= kMaxFineLength; ++l) {
    cell_base_[l] = static_cast<uint32_t>(cells);
    cells += l + 2;
  }
  cells_.assign(cells, Cell{});
  for (uint32_t l = 0; l <= kMaxFineLength; ++l) {
    uint32_t p = class_begin_[l];
    const uint32_t stop = class_begin_[l + 1];
    for (uint32_t k = 0; k <= l + 1; ++k) {
      const uint32_t begin = p;
      while (p < stop && key_[p] == k) ++p;
      Cell& cell = cells_[cell_base_[l] + k];
      cell.begin = begin;
      if (k > l || begin == p) continue;
      cell.base = static_cast<uint32_t>(second_begin_.size());
      cell.least = second_[begin];
      cell.most = second_[p - 1];
      uint32_t q = begin;
      for (uint32_t b = cell.least; b <= cell.most; ++b) {
        while (q < p && second_[q] < b) ++q;
        second_begin_.push_back(q);
      }
    }
  }
}

std::pair<uint32_t, uint32_t> ScanOrder::second_run(uint32_t length, int64_t key, int64_t least,
                                                    int64_t most) const {
  const size_t at = cell_base_[length] + static_cast<size_t>(key);
  const Cell& cell = cells_[at];
  const uint32_t end = cells_[at + 1].begin;
  // The first position of the run whose second key is at least `second`.
  auto first = [&](int64_t second) {
    if (second <= cell.least) return cell.begin;
    if (second > cell.most) return end;
    return second_begin_[cell.base + static_cast<size_t>(second - cell.least)];
  };
  if (cell.begin == end || least > most) return {cell.begin, cell.begin};
  return {first(least), first(most + 1)};
}

}  // namespace simsieve
