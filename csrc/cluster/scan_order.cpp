#include "cluster/scan_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "cluster/parallel_steps.hpp"

namespace simsieve {
namespace {

// The half of the fine groups along which the shares of the groups in a canonical vary most over a
// sample: the groups with a positive entry in the leading eigenvector of the shares' covariance,
// found by power iteration. A bit mask over the fine groups.
uint32_t varying_half(const std::vector<CharHistogram>& histograms, const CharGroups& groups) {
  constexpr size_t kSample = 4096, kRounds = 40, G = kFineGroups;
  const size_t n = histograms.size();
  const size_t step = std::max<size_t>(1, n / kSample);
  std::vector<std::array<double, G>> shares;
  for (size_t k = 0; k < n; k += step) {
    const CharHistogram& h = histograms[k];
    if (h.length == 0 || h.length > kMaxFineLength) continue;
    std::array<double, G> s{};
    for (const CharCount& c : h.counts) s[groups.of(c.code_point)] += c.count;
    for (double& v : s) v /= h.length;
    shares.push_back(s);
  }
  if (shares.size() < 2) return 0;
  std::array<double, G> mean{};
  for (const auto& s : shares)
    for (size_t g = 0; g < G; ++g) mean[g] += s[g] / static_cast<double>(shares.size());
  std::array<std::array<double, G>, G> cov{};
  for (const auto& s : shares)
    for (size_t g = 0; g < G; ++g)
      for (size_t h = 0; h < G; ++h) cov[g][h] += (s[g] - mean[g]) * (s[h] - mean[h]);
  std::array<double, G> v;
  for (size_t g = 0; g < G; ++g) v[g] = 1.0 + static_cast<double>(g) / G * (g % 2 ? -1.0 : 1.0);
  for (size_t round = 0; round < kRounds; ++round) {
    std::array<double, G> w{};
    for (size_t g = 0; g < G; ++g)
      for (size_t h = 0; h < G; ++h) w[g] += cov[g][h] * v[h];
    double norm = 0;
    for (double x : w) norm += x * x;
    norm = std::sqrt(norm);
    if (!(norm > 0)) return 0;
    for (size_t g = 0; g < G; ++g) v[g] = w[g] / norm;
  }
  uint32_t half = 0;
  for (size_t g = 0; g < G; ++g)
    if (v[g] > 0) half |= uint32_t{1} << g;
  return half;
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
  std::vector<uint8_t> key_of(n, 0);
  if (keyed) {
    const uint32_t half = varying_half(histograms, groups);
    auto key = [&](size_t k) {
      const CharHistogram& h = histograms[k];
      if (h.length > kMaxFineLength) return;
      uint32_t count = 0;
      for (const CharCount& c : h.counts) count += (half >> groups.of(c.code_point) & 1) ? c.count : 0;
      key_of[k] = static_cast<uint8_t>(count);
    };
    detail::for_each_index(n, parallel, key, with_min_len(1024));
  }
  order_.resize(n);
  std::iota(order_.begin(), order_.end(), 0u);
  // Ties by index: the stable order of (length, key), whichever sort runs.
  detail::sort_items(order_, parallel, [&](uint32_t x, uint32_t y) {
    const uint32_t lx = histograms[x].length, ly = histograms[y].length;
    if (lx != ly) return lx < ly;
    return key_of[x] != key_of[y] ? key_of[x] < key_of[y] : x < y;
  });
  key_.resize(n);
  for (size_t p = 0; p < n; ++p) key_[p] = key_of[order_[p]];
  // Positions are grouped by length, so each length's first position bounds its keys' search.
  class_begin_.assign(kMaxFineLength + 2, static_cast<uint32_t>(n));
  for (size_t p = n; p-- > 0;) {
    const uint32_t l = histograms[order_[p]].length;
    class_begin_[std::min(l, kMaxFineLength + 1)] = static_cast<uint32_t>(p);
  }
  for (size_t l = kMaxFineLength + 1; l-- > 0;) class_begin_[l] = std::min(class_begin_[l], class_begin_[l + 1]);
}

uint32_t ScanOrder::key_begin(uint32_t length, int64_t key) const {
  const auto first = key_.begin() + class_begin_[length], stop = key_.begin() + class_begin_[length + 1];
  if (key <= 0) return class_begin_[length];
  if (key > static_cast<int64_t>(length)) return class_begin_[length + 1];
  return static_cast<uint32_t>(std::lower_bound(first, stop, static_cast<uint8_t>(key)) - key_.begin());
}

}  // namespace simsieve
