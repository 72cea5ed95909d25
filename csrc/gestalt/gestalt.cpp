// TEMPORARY development scaffold: a direct transcription of difflib's quadratic algorithm, used
// until the sparse and indexed engines land. Not for release.
#include "gestalt/gestalt.hpp"

#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace simsieve {
namespace {

std::vector<uint32_t> decode(std::string_view s) {
  std::vector<uint32_t> out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    int n;
    if (c < 0x80) { cp = c; n = 1; }
    else if (c < 0xE0) { cp = c & 0x1F; n = 2; }
    else if (c < 0xF0) { cp = c & 0x0F; n = 3; }
    else { cp = c & 0x07; n = 4; }
    for (int k = 1; k < n && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

}  // namespace

double gestalt_ratio(std::string_view as, std::string_view bs) {
  auto a = decode(as), b = decode(bs);
  size_t la = a.size(), lb = b.size();
  if (la + lb == 0) return 1.0;
  std::unordered_map<uint32_t, std::vector<size_t>> b2j;
  for (size_t j = 0; j < lb; ++j) b2j[b[j]].push_back(j);
  uint64_t m = 0;
  std::vector<std::tuple<size_t, size_t, size_t, size_t>> stack{{0, la, 0, lb}};
  while (!stack.empty()) {
    auto [alo, ahi, blo, bhi] = stack.back();
    stack.pop_back();
    size_t bi = alo, bj = blo, bk = 0;
    std::unordered_map<size_t, size_t> j2len;
    for (size_t i = alo; i < ahi; ++i) {
      std::unordered_map<size_t, size_t> next;
      auto it = b2j.find(a[i]);
      if (it != b2j.end()) {
        for (size_t j : it->second) {
          if (j < blo) continue;
          if (j >= bhi) break;
          size_t k = (j > 0 && j2len.count(j - 1) ? j2len[j - 1] : 0) + 1;
          next[j] = k;
          if (k > bk) { bi = i - k + 1; bj = j - k + 1; bk = k; }
        }
      }
      j2len.swap(next);
    }
    if (bk) {
      m += bk;
      if (alo < bi && blo < bj) stack.emplace_back(alo, bi, blo, bj);
      if (bi + bk < ahi && bj + bk < bhi) stack.emplace_back(bi + bk, ahi, bj + bk, bhi);
    }
  }
  return static_cast<double>(m) * 2.0 / static_cast<double>(la + lb);
}

}  // namespace simsieve
