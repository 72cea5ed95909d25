// Hashing and equality of canonicals by content, used to find byte-identical copies.
#pragma once

#include <algorithm>
#include <cstdint>

#include "cluster/cluster_types.hpp"

namespace simsieve::detail {

struct CodepointHash {
  size_t operator()(CodepointView text) const noexcept {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
    for (uint32_t c : text) h = (h ^ c) * 0x100000001B3ull;
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

struct CodepointEqual {
  bool operator()(CodepointView x, CodepointView y) const noexcept {
    return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
  }
};

}  // namespace simsieve::detail
