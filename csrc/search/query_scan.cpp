#include "search/query_scan.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "gestalt/bounded.hpp"
#include "gestalt/codepoints.hpp"
#include "gestalt/match_count.hpp"

namespace simsieve {

uint64_t exact_need(double t, uint64_t total) {
  if (total == 0) return 1.0 >= t ? 0 : kNeverReached;
  if (std::isnan(t) || t > 1.0) return kNeverReached;
  if (t <= 0.0) return 0;
  // ceil(t * total / 2) is within one of the answer; settle it with the ratio's own rounding.
  uint64_t m = static_cast<uint64_t>(std::ceil(t * static_cast<double>(total) * 0.5));
  while (m > 0 && score_of(m - 1, total) >= t) --m;
  while (m <= total && score_of(m, total) < t) ++m;
  return m;
}

std::pair<uint64_t, uint64_t> length_window(uint64_t lq, double t) {
  // Allowed lengths lc satisfy min(lq, lc) >= exact_need(t, lq + lc); the ratio bound
  // 2 min / (lq + lc) rises up to lc = lq and falls after it, so the allowed lengths are one range.
  auto allowed = [&](uint64_t lc) {
    const uint64_t need = exact_need(t, lq + lc);
    return need != kNeverReached && std::min(lq, lc) >= need;
  };
  if (!allowed(lq)) return {1, 0};
  uint64_t lo = 0, hi = lq;  // smallest allowed length in [0, lq]
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (allowed(mid))
      hi = mid;
    else
      lo = mid + 1;
  }
  const uint64_t low = lo;
  // Largest allowed length: when lq = 0 only lc = 0 has a non-zero bound (t > 0 here or all pass).
  if (!(t > 0.0)) return {low, UINT64_MAX};
  uint64_t a = lq, b = lq;
  while (b < (uint64_t{1} << 40) && allowed(b)) {
    a = b;
    b = b * 2 + 1;
  }
  if (allowed(b)) return {low, UINT64_MAX};
  while (a + 1 < b) {  // allowed(a), !allowed(b)
    uint64_t mid = a + (b - a) / 2;
    if (allowed(mid))
      a = mid;
    else
      b = mid;
  }
  return {low, a};
}

BucketSignature bucket_signature(std::string_view utf8, bool ascii) {
  std::array<uint32_t, BucketSignature::kBuckets> wide{};
  if (ascii) {
    for (unsigned char c : utf8) ++wide[c & 15];
  } else {
    for (uint32_t c : decode_utf8(utf8)) ++wide[c & 15];
  }
  BucketSignature out;
  for (size_t b = 0; b < wide.size(); ++b) {
    if (wide[b] > 0xFFFF) {
      out.counts.fill(0xFFFF);
      return out;
    }
    out.counts[b] = static_cast<uint16_t>(wide[b]);
  }
  return out;
}

PreparedQuery::PreparedQuery(std::string_view utf8)
    : cps_(decode_utf8(utf8)), index_(build_match_index(cps_)), counts_(128, 0) {
  if (cps_.size() <= kLcsMaxPattern) lcs_.build(cps_);
  for (uint32_t c : cps_)
    if (c >= 128) wide_.push_back(c);
  std::sort(wide_.begin(), wide_.end());
  wide_.erase(std::unique(wide_.begin(), wide_.end()), wide_.end());
  counts_.resize(128 + wide_.size(), 0);
  for (uint32_t c : cps_) ++counts_[*slot_of(c)];
  signature_ = bucket_signature(utf8, utf8.size() == cps_.size());
  foreign_.fill(1);
  for (uint32_t c : cps_)
    if (c < 128) foreign_[c] = 0;
}

std::optional<uint32_t> PreparedQuery::slot_of(uint32_t cp) const {
  if (cp < 128) return cp;
  auto it = std::lower_bound(wide_.begin(), wide_.end(), cp);
  if (it == wide_.end() || *it != cp) return std::nullopt;
  return static_cast<uint32_t>(128 + (it - wide_.begin()));
}

// One extra slot, always 0, stands for every code point that the query does not hold.
QueryScanner::QueryScanner(const PreparedQuery& query) : query_(query), remaining_(query.counts()) {
  remaining_.push_back(0);
  absent_slot_ = static_cast<uint32_t>(remaining_.size() - 1);
  counts_ = remaining_;
}

namespace {

// Counts matches of a choice's slots against the remaining query counts, stopping as soon as
// `need` hits are certain (true) or impossible (false); restores the counts it used. The loop
// is branch-free within blocks of kBlock characters and tests the two exits between blocks
// (scanning a few characters too many changes neither answer: hits + misses never exceeds n).
template <class Slots>
bool overlap_reaches(const Slots& slots, size_t n, std::vector<uint32_t>& remaining,
                     const std::vector<uint32_t>& counts, uint64_t need) {
  constexpr size_t kBlock = 8;
  const uint64_t allowed_misses = n - need;  // need <= n is checked by the caller
  uint64_t hits = 0;
  size_t i = 0;
  uint32_t* rem = remaining.data();
  while (i < n) {
    const size_t stop = std::min(n, i + kBlock);
    for (; i < stop; ++i) {
      const uint32_t s = slots[i];
      const uint32_t r = rem[s];
      const uint32_t hit = r > 0;
      rem[s] = r - hit;
      hits += hit;
    }
    if (hits >= need || i - hits > allowed_misses) break;
  }
  if (i * 4 > counts.size()) {
    std::memcpy(rem, counts.data(), counts.size() * sizeof(uint32_t));  // cheaper than undoing each
  } else {
    for (size_t k = 0; k < i; ++k) {
      const uint32_t s = slots[k];
      rem[s] = counts[s];
    }
  }
  return hits >= need;
}

// Whether an ASCII text holds more than `allowed` characters that the query lacks (each is a
// miss of the histogram bound too); a few table lookups a character with no dependency between
// them, so it settles most choices of a scan before the histogram's counting does.
bool too_many_foreign(const unsigned char* p, size_t n, const std::array<uint8_t, 256>& foreign, uint64_t allowed) {
  constexpr size_t kBlock = 16;
  uint64_t count = 0;
  size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (size_t k = 0; k < kBlock; ++k) count += foreign[p[i + k]];
    if (count > allowed) return true;
  }
  for (; i < n; ++i) count += foreign[p[i]];
  return count > allowed;
}

struct ByteSlots {
  const unsigned char* p;
  uint32_t operator[](size_t i) const { return p[i]; }
};

}  // namespace

std::span<const uint32_t> QueryScanner::decode(std::string_view text, bool ascii) {
  if (ascii) {
    cps_.resize(text.size());
    for (size_t i = 0; i < text.size(); ++i) cps_[i] = static_cast<unsigned char>(text[i]);
  } else {
    decode_utf8_into(text, cps_);
  }
  return cps_;
}

std::optional<uint64_t> QueryScanner::reaches(std::string_view text, uint32_t length, bool ascii, uint64_t need) {
  const uint32_t lq = query_.length();
  if (need > 0) {
    // Histogram bound: no alignment matches more characters than the two strings share.
    bool ok;
    if (ascii) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
      if (too_many_foreign(bytes, length, query_.foreign_bytes(), length - need)) return std::nullopt;
      ok = overlap_reaches(ByteSlots{reinterpret_cast<const unsigned char*>(text.data())}, length, remaining_,
                           counts_, need);
    } else {
      std::span<const uint32_t> cps = decode(text, false);
      slots_.resize(cps.size());
      for (size_t i = 0; i < cps.size(); ++i) slots_[i] = query_.slot_of(cps[i]).value_or(absent_slot_);
      ok = overlap_reaches(slots_, slots_.size(), remaining_, counts_, need);
    }
    if (!ok) return std::nullopt;
  }
  if (length == 0 || lq == 0) return uint64_t{0};  // need is 0 here
  std::span<const uint32_t> a = decode(text, ascii);
  if (need > 0) {
    // The threshold test demands need_for(t', total) matches, which is exactly need for
    // t' = (2 need - 1) / total (half a match below need, far from any rounding).
    const double total = static_cast<double>(lq) + static_cast<double>(length);
    const double t_exact = (static_cast<double>(need) * 2.0 - 1.0) / total;
    // The longest common subsequence bounds the match count from above, at a fraction of the cost.
    if (lq <= kLcsMaxPattern && !query_.lcs_pattern().reaches(a, need, lcs_scratch_)) return std::nullopt;
    if (!ratio_reaches_fast(a, query_.index(), query_.code_points(), t_exact)) return std::nullopt;
  }
  return count_matches(a, query_.index(), query_.code_points());
}

}  // namespace simsieve
