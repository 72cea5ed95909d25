#include "cluster/shared_ends.hpp"

#include <algorithm>
#include <numeric>

#include "cluster/parallel_steps.hpp"

namespace simsieve {
namespace {

// What the classes of all lengths of one block may take together: member entries (4 bytes each,
// two per member and length) and bitset words (8 bytes each).
constexpr uint64_t kEndClassEntries = uint64_t{1} << 24;
constexpr uint64_t kEndBitsetWords = uint64_t{1} << 22;

// The common start of a and b (their common end with `from_end`), at most kMaxSharedEnd + 1.
uint32_t common_length(CodepointView a, CodepointView b, bool from_end) {
  const size_t n = std::min<size_t>(std::min(a.size(), b.size()), kMaxSharedEnd + 1);
  size_t k = 0;
  if (from_end) {
    while (k < n && a[a.size() - 1 - k] == b[b.size() - 1 - k]) ++k;
  } else {
    while (k < n && a[k] == b[k]) ++k;
  }
  return static_cast<uint32_t>(k);
}

}  // namespace

SharedEnds::SharedEnds(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, bool from_end,
                       bool parallel)
    : words_((members.size() + 63) / 64), entries_left_(kEndClassEntries), words_left_(kEndBitsetWords) {
  const size_t m = members.size();
  auto text = [&](uint32_t x) { return canonicals[members[x]]; };
  order_.resize(m);
  std::iota(order_.begin(), order_.end(), uint32_t{0});
  detail::sort_items(order_, parallel, [&](uint32_t x, uint32_t y) {
    const CodepointView a = text(x), b = text(y);
    if (from_end) return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
  });
  common_.assign(m, 0);
  detail::for_each_index(
      m, parallel, [&](size_t k) { if (k > 0) common_[k] = common_length(text(order_[k - 1]), text(order_[k]), from_end); },
      with_min_len(1024));
  // No two members share more than the longest common start of two neighbours.
  const uint32_t top = std::min(kMaxSharedEnd, m > 0 ? *std::max_element(common_.begin(), common_.end()) : 0);
  by_length_.resize(size_t{top} + 1);
  built_ = std::make_unique<std::once_flag[]>(size_t{top} + 1);
}

const SharedEnds::Classes* SharedEnds::classes(uint32_t length) {
  std::call_once(built_[length], [&] {
    const size_t m = order_.size();
    // Two entries a member: its class, and its place in its class's list.
    uint64_t left = entries_left_.load();
    do {
      if (left < 2 * m) return;
    } while (!entries_left_.compare_exchange_weak(left, left - 2 * m));
    auto c = std::make_unique<Classes>();
    c->class_of.assign(m, kNone);
    // A class is a run of neighbours whose common starts reach `length`; a member alone shares
    // with none.
    for (size_t k = 0; k < m;) {
      size_t e = k + 1;
      while (e < m && common_[e] >= length) ++e;
      if (e - k >= 2) {
        const auto id = static_cast<uint32_t>(c->begin.size());
        c->begin.push_back(static_cast<uint32_t>(c->members.size()));
        for (size_t t = k; t < e; ++t) {
          c->class_of[order_[t]] = id;
          c->members.push_back(order_[t]);
        }
        std::sort(c->members.begin() + c->begin.back(), c->members.end());
      }
      k = e;
    }
    c->begin.push_back(static_cast<uint32_t>(c->members.size()));
    // A class is worth a bitset once setting its members one by one costs more than a copy of
    // the row's words, while the block's bitsets stay within their budget.
    const size_t classes = c->begin.size() - 1, bitset_from = std::max<size_t>(16, words_ / 2);
    c->bitset_of.assign(classes, kNone);
    for (size_t k = 0; k < classes; ++k) {
      if (c->begin[k + 1] - c->begin[k] < bitset_from) continue;
      uint64_t words = words_left_.load();
      do {
        if (words < words_) break;
      } while (!words_left_.compare_exchange_weak(words, words - words_));
      if (words < words_) break;
      const size_t row = c->bitsets.size() / words_;
      c->bitsets.resize(c->bitsets.size() + words_, 0);
      c->bitset_of[k] = static_cast<uint32_t>(row);
      uint64_t* bits = c->bitsets.data() + row * words_;
      for (uint32_t t = c->begin[k]; t < c->begin[k + 1]; ++t) bits[c->members[t] / 64] |= uint64_t{1} << (c->members[t] % 64);
    }
    by_length_[length] = std::move(c);
  });
  return by_length_[length].get();
}

bool SharedEnds::sharers_after(size_t x, uint32_t length, std::vector<uint64_t>& bits) {
  if (length == 0 || length > kMaxSharedEnd) return false;
  if (length >= by_length_.size()) {
    bits.assign(words_, 0);
    return true;
  }
  const Classes* c = classes(length);
  if (c == nullptr) return false;
  bits.assign(words_, 0);
  const uint32_t k = c->class_of[x];
  if (k == kNone) return true;
  if (c->bitset_of[k] != kNone) {
    const uint64_t* row = c->bitsets.data() + size_t{c->bitset_of[k]} * words_;
    std::copy(row + (x + 1) / 64, row + words_, bits.begin() + static_cast<ptrdiff_t>((x + 1) / 64));
    return true;
  }
  const uint32_t* begin = c->members.data() + c->begin[k];
  const uint32_t* end = c->members.data() + c->begin[k + 1];
  for (const uint32_t* y = std::upper_bound(begin, end, static_cast<uint32_t>(x)); y != end; ++y)
    bits[*y / 64] |= uint64_t{1} << (*y % 64);
  return true;
}

}  // namespace simsieve
