#include "gestalt/common_run.hpp"

#include <algorithm>

#include "common/internal_error.hpp"

namespace simsieve {
namespace {

using Bits = RunPattern::Bits;

// Shifts towards higher positions (left) and lower positions (right) by t < 128; with Wide false
// only the low word is in use.
template <bool Wide>
inline Bits shift_up(Bits x, size_t t) {
  if constexpr (!Wide) return {t < 64 ? x.lo << t : 0, 0};
  if (t == 0) return x;
  if (t >= 64) return {0, x.lo << (t - 64)};
  return {x.lo << t, (x.hi << t) | (x.lo >> (64 - t))};
}

template <bool Wide>
inline Bits shift_down(Bits x, size_t t) {
  if constexpr (!Wide) return {t < 64 ? x.lo >> t : 0, 0};
  if (t == 0) return x;
  if (t >= 64) return {x.hi >> (t - 64), 0};
  return {(x.lo >> t) | (x.hi << (64 - t)), x.hi >> t};
}

template <bool Wide>
inline Bits both(Bits x, Bits y) {
  if constexpr (!Wide) return {x.lo & y.lo, 0};
  return {x.lo & y.lo, x.hi & y.hi};
}

template <bool Wide>
inline bool any(Bits x) {
  if constexpr (!Wide) return x.lo != 0;
  return (x.lo | x.hi) != 0;
}

}  // namespace

void RunPattern::build(std::span<const uint32_t> pattern) {
  ensure(pattern.size() <= kRunMaxPattern, "run pattern longer than its bit set");
  length_ = pattern.size();
  ascii_.fill(Bits{});
  others_.clear();
  for (size_t i = 0; i < pattern.size(); ++i) {
    const uint32_t c = pattern[i];
    Bits* bits;
    if (c < 128) {
      bits = &ascii_[c];
    } else {
      auto it = std::find_if(others_.begin(), others_.end(), [c](const Other& o) { return o.code_point == c; });
      if (it == others_.end()) it = others_.insert(others_.end(), Other{c, {}});
      bits = &it->bits;
    }
    if (i < 64)
      bits->lo |= uint64_t{1} << i;
    else
      bits->hi |= uint64_t{1} << (i - 64);
  }
  std::sort(others_.begin(), others_.end(), [](const Other& x, const Other& y) { return x.code_point < y.code_point; });
}

RunPattern::Bits RunPattern::bits_of(uint32_t c) const {
  if (c < 128) return ascii_[c];
  auto it = std::lower_bound(others_.begin(), others_.end(), c,
                             [](const Other& o, uint32_t v) { return o.code_point < v; });
  return it != others_.end() && it->code_point == c ? it->bits : Bits{};
}

bool RunPattern::shares_run(std::span<const uint32_t> text, uint64_t run) {
  if (run == 0) return true;
  if (run > length_ || run > text.size()) return false;
  return length_ > 64 ? scan<true>(text, run) : scan<false>(text, run);
}

// A common run of `run` characters covers `run` consecutive text positions, so it covers one of
// the anchors run - 1, 2 run - 1, ... Around each anchor j, back[t] holds the pattern positions i
// with pattern[i - s] == text[j - s] for s = 0..t, and forth[t] those with pattern[i + s] ==
// text[j + s] for s = 0..t; a run through the anchor with u characters before it exists when
// back[u] and forth[run - 1 - u] share a position.
template <bool Wide>
bool RunPattern::scan(std::span<const uint32_t> text, size_t run) {
  const size_t n = text.size();
  text_bits_.resize(n);
  for (size_t j = 0; j < n; ++j) text_bits_[j] = bits_of(text[j]);
  back_.resize(run);
  forth_.resize(run);
  const Bits* x = text_bits_.data();
  for (size_t j = run - 1; j < n; j += run) {
    if (!any<Wide>(x[j])) continue;
    back_[0] = forth_[0] = x[j];
    size_t nb = 0;
    for (size_t t = 1; t < run; ++t) {
      const Bits v = both<Wide>(back_[t - 1], shift_up<Wide>(x[j - t], t));
      if (!any<Wide>(v)) break;
      back_[t] = v;
      nb = t;
    }
    if (nb + 1 == run) return true;
    size_t nf = 0;
    for (size_t t = 1; t < run && j + t < n; ++t) {
      const Bits v = both<Wide>(forth_[t - 1], shift_down<Wide>(x[j + t], t));
      if (!any<Wide>(v)) break;
      forth_[t] = v;
      nf = t;
    }
    if (nb + nf + 1 < run) continue;
    for (size_t u = run - 1 - nf; u <= nb; ++u)
      if (any<Wide>(both<Wide>(back_[u], forth_[run - 1 - u]))) return true;
  }
  return false;
}

}  // namespace simsieve
