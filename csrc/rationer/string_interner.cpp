#include "rationer/string_interner.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <utility>

namespace simsieve {

namespace {
constexpr size_t kMinTableSize = 16;

uint64_t hash_of(std::string_view s) { return std::hash<std::string_view>{}(s); }
}  // namespace

StringInterner::StringInterner(size_t expected) {
  table_.resize(std::bit_ceil(std::max<size_t>(kMinTableSize, expected * 2)));
  strings_.reserve(expected);
}

uint32_t StringInterner::intern(std::string_view text) {
  const uint64_t h = hash_of(text);
  const auto tag = static_cast<uint32_t>(h >> 32);
  size_t mask = table_.size() - 1;
  for (size_t pos = h & mask;; pos = (pos + 1) & mask) {
    const Slot& slot = table_[pos];
    if (slot.id_plus_one == 0) break;
    if (slot.hash_bits == tag && strings_[slot.id_plus_one - 1] == text) return slot.id_plus_one - 1;
  }
  if (strings_.size() >= kMaxInternedItems)
    throw BatchLimitError("a ratio batch can hold at most 4294967295 distinct strings");
  const auto id = static_cast<uint32_t>(strings_.size());
  strings_.push_back(text);
  if (strings_.size() * 2 > table_.size()) {
    grow();
    mask = table_.size() - 1;
  }
  size_t pos = h & mask;
  while (table_[pos].id_plus_one != 0) pos = (pos + 1) & mask;
  // id + 1 cannot wrap: id is at most 4294967294 here.
  table_[pos] = Slot{id + 1, tag};
  return id;
}

void StringInterner::grow() {
  std::vector<Slot> old = std::exchange(table_, std::vector<Slot>(table_.size() * 2));
  const size_t mask = table_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.id_plus_one == 0) continue;
    size_t pos = hash_of(strings_[slot.id_plus_one - 1]) & mask;
    while (table_[pos].id_plus_one != 0) pos = (pos + 1) & mask;
    table_[pos] = slot;
  }
}

std::vector<std::string_view> StringInterner::take_strings() {
  std::vector<Slot>(kMinTableSize).swap(table_);
  return std::exchange(strings_, {});
}

}  // namespace simsieve
