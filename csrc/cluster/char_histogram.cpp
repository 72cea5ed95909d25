#include "cluster/char_histogram.hpp"

#include <algorithm>
#include <array>

namespace simsieve {

CharHistogram char_histogram(CodepointView text) {
  CharHistogram out;
  out.length = static_cast<uint32_t>(text.size());
  std::array<uint32_t, 128> ascii{};
  bool all_ascii = true;
  for (uint32_t c : text) {
    if (c >= 128) {
      all_ascii = false;
      break;
    }
    ++ascii[c];
  }
  if (all_ascii) {
    for (uint32_t c = 0; c < 128; ++c)
      if (ascii[c]) out.counts.push_back({c, ascii[c]});
    return out;
  }
  std::vector<uint32_t> sorted(text.begin(), text.end());
  std::sort(sorted.begin(), sorted.end());
  for (size_t k = 0; k < sorted.size();) {
    size_t run = k + 1;
    while (run < sorted.size() && sorted[run] == sorted[k]) ++run;
    out.counts.push_back({sorted[k], static_cast<uint32_t>(run - k)});
    k = run;
  }
  return out;
}

uint32_t histogram_overlap(const CharHistogram& x, const CharHistogram& y) {
  uint32_t sum = 0;
  auto p = x.counts.begin(), pe = x.counts.end();
  auto q = y.counts.begin(), qe = y.counts.end();
  while (p != pe && q != qe) {
    if (p->code_point < q->code_point) {
      ++p;
    } else if (q->code_point < p->code_point) {
      ++q;
    } else {
      sum += std::min(p->count, q->count);
      ++p;
      ++q;
    }
  }
  return sum;
}

double histogram_bound(const CharHistogram& x, const CharHistogram& y) {
  return overlap_bound(histogram_overlap(x, y), x.length, y.length);
}

}  // namespace simsieve
