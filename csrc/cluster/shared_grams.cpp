#include "cluster/shared_grams.hpp"

#include <algorithm>
#include <bit>

#include "cluster/parallel_steps.hpp"

namespace simsieve {
namespace {

// The ASCII runs of q characters of `text` as keys, in text order, repeats included: 7 bits a
// character, in one 64-bit word up to 9 characters and in two from there.
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
  return keys;
}

// A well-spread hash of a gram key, taken from its high bits.
inline uint64_t mix(uint64_t key) { return key * uint64_t{0x9E3779B97F4A7C15}; }
inline uint64_t mix(unsigned __int128 key) {
  const uint64_t high = static_cast<uint64_t>(key >> 64) * uint64_t{0xC2B2AE3D27D4EB4F};
  return mix(static_cast<uint64_t>(key) ^ high);
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
  size_t total = 0;
  for (const auto& k : keys) total += k.size();

  // Gram ids in order of first appearance, through an open-addressing table of ids at most half
  // full; a member's repeats of a gram are dropped by the last member each gram saw.
  const int bits = std::bit_width(std::max<size_t>(2 * total, 16) - 1);
  const size_t mask = (size_t{1} << bits) - 1;
  std::vector<uint32_t> slot(mask + 1, UINT32_MAX);
  std::vector<Key> gram_key;
  std::vector<uint32_t> count, last;
  member_begin_.assign(m + 1, 0);
  member_grams_.resize(total);
  size_t k = 0;
  for (size_t x = 0; x < m; ++x) {
    member_begin_[x] = static_cast<uint32_t>(k);
    for (const Key& key : keys[x]) {
      size_t h = static_cast<size_t>(mix(key) >> (64 - bits));
      uint32_t id;
      while (true) {
        id = slot[h];
        if (id == UINT32_MAX) {
          id = static_cast<uint32_t>(gram_key.size());
          slot[h] = id;
          gram_key.push_back(key);
          count.push_back(0);
          last.push_back(UINT32_MAX);
          break;
        }
        if (gram_key[id] == key) break;
        h = (h + 1) & mask;
      }
      if (last[id] == x) continue;
      last[id] = static_cast<uint32_t>(x);
      member_grams_[k++] = id;
      ++count[id];
    }
    keys[x] = {};
  }
  member_begin_[m] = static_cast<uint32_t>(k);
  member_grams_.resize(k);
  total = k;
  const size_t grams = gram_key.size();

  // Each gram's members, ascending: the members are walked in order.
  gram_begin_.assign(grams + 1, 0);
  for (size_t g = 0; g < grams; ++g) gram_begin_[g + 1] = gram_begin_[g] + count[g];
  gram_members_.resize(total);
  std::vector<uint32_t> fill(gram_begin_.begin(), gram_begin_.end() - 1);
  for (size_t x = 0; x < m; ++x)
    for (size_t e = member_begin_[x]; e < member_begin_[x + 1]; ++e) gram_members_[fill[member_grams_[e]]++] = static_cast<uint32_t>(x);

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
