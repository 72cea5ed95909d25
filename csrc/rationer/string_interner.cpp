#include "rationer/string_interner.hpp"

#include <utility>

namespace simsieve {

uint32_t StringInterner::intern(std::string_view text) {
  if (auto found = ids_.find(text); found != ids_.end()) return found->second;
  if (strings_.size() >= kMaxInternedItems)
    throw BatchLimitError("a ratio batch can hold at most 4294967295 distinct strings");
  const auto id = static_cast<uint32_t>(strings_.size());
  strings_.emplace_back(text);
  ids_.emplace(std::string(text), id);
  return id;
}

std::vector<std::string> StringInterner::take_strings() {
  decltype(ids_)().swap(ids_);
  return std::exchange(strings_, {});
}

}  // namespace simsieve
