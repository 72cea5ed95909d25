#include "cluster/shared_grams.hpp"

#include <algorithm>

#include "cluster/parallel_steps.hpp"

namespace simsieve {
namespace {

// The distinct ASCII runs of q characters of `text` as keys, ascending: 7 bits a character, in one
// 64-bit word up to 9 characters and in two from there.
template <class Key>
std::vector<Key> gram_keys(CodepointView text, uint32_t q) {
  std::vector<Key> keys;
  if (text.size() < q) return keys;
  keys.reserve(text.size() - q + 1);
  const Key mask = (Key{1} << (7 * q)) - 1;
  Key key = 0;
  uint32_t run = 0;  // ASCII characters ending at the current one
  for (uint32_t c : text) {
    if (c >= 128) {
      run = 0;
      continue;
    }
    key = ((key << 7) | c) & mask;
    if (++run >= q) keys.push_back(key);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

}  // namespace

SharedGrams::SharedGrams(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, uint32_t q,
                         bool parallel)
    : q_(q), words_((members.size() + 63) / 64) {
  if (q * 7 <= 64)
    index<uint64_t>(members, canonicals, parallel);
  else
    index<unsigned __int128>(members, canonicals, parallel);
}

template <class Key>
void SharedGrams::index(std::span<const uint32_t> members, std::span<const CodepointView> canonicals, bool parallel) {
  const size_t m = members.size();
  auto keys = detail::map_indices<std::vector<Key>>(
      m, parallel, [&](size_t x) { return gram_keys<Key>(canonicals[members[x]], q_); });
  struct Entry {
    Key key;
    uint32_t member;
  };
  std::vector<Entry> entries;
  size_t total = 0;
  for (const auto& k : keys) total += k.size();
  entries.reserve(total);
  for (uint32_t x = 0; x < m; ++x) {
    for (const Key& key : keys[x]) entries.push_back({key, x});
    keys[x] = {};
  }
  detail::sort_items(entries, parallel, [](const Entry& u, const Entry& v) {
    return u.key != v.key ? u.key < v.key : u.member < v.member;
  });

  // Grams in key order; each gram's members ascend.
  gram_members_.resize(total);
  std::vector<uint32_t> gram_of(total);
  for (size_t k = 0; k < total; ++k) {
    if (k == 0 || entries[k].key != entries[k - 1].key) gram_begin_.push_back(static_cast<uint32_t>(k));
    gram_of[k] = static_cast<uint32_t>(gram_begin_.size() - 1);
    gram_members_[k] = entries[k].member;
  }
  gram_begin_.push_back(static_cast<uint32_t>(total));
  const size_t grams = gram_begin_.size() - 1;

  member_begin_.assign(m + 1, 0);
  for (const Entry& e : entries) ++member_begin_[e.member + 1];
  for (size_t x = 0; x < m; ++x) member_begin_[x + 1] += member_begin_[x];
  member_grams_.resize(total);
  std::vector<uint32_t> fill(member_begin_.begin(), member_begin_.end() - 1);
  for (size_t k = 0; k < total; ++k) member_grams_[fill[entries[k].member]++] = gram_of[k];
  entries = {};

  // A gram is worth a bitset once setting its members one by one costs more than a union of the
  // row's words; at most about 2 048 of them, so the bitsets stay near m * 256 bytes.
  const size_t frequent_from = std::max<size_t>({16, words_ / 2, total / 2048});
  frequent_.assign(grams, UINT32_MAX);
  size_t rows = 0;
  for (size_t g = 0; g < grams; ++g)
    if (gram_begin_[g + 1] - gram_begin_[g] >= frequent_from) frequent_[g] = static_cast<uint32_t>(rows++);
  bitsets_.assign(rows * words_, 0);
  for (size_t g = 0; g < grams; ++g) {
    if (frequent_[g] == UINT32_MAX) continue;
    uint64_t* row = bitsets_.data() + size_t{frequent_[g]} * words_;
    for (size_t k = gram_begin_[g]; k < gram_begin_[g + 1]; ++k)
      row[gram_members_[k] / 64] |= uint64_t{1} << (gram_members_[k] % 64);
  }
}

void SharedGrams::sharers_after(size_t x, std::vector<uint64_t>& bits) const {
  bits.assign(words_, 0);
  const size_t first_word = (x + 1) / 64;
  uint64_t* out = bits.data();
  for (size_t k = member_begin_[x]; k < member_begin_[x + 1]; ++k) {
    const uint32_t g = member_grams_[k];
    if (frequent_[g] != UINT32_MAX) {
      const uint64_t* row = bitsets_.data() + size_t{frequent_[g]} * words_;
      for (size_t w = first_word; w < words_; ++w) out[w] |= row[w];
      continue;
    }
    const uint32_t* begin = gram_members_.data() + gram_begin_[g];
    const uint32_t* end = gram_members_.data() + gram_begin_[g + 1];
    for (const uint32_t* y = std::upper_bound(begin, end, static_cast<uint32_t>(x)); y != end; ++y)
      out[*y / 64] |= uint64_t{1} << (*y % 64);
  }
}

}  // namespace simsieve
