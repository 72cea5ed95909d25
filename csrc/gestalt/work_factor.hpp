// The work factor K that picks between the two exact ratio algorithms: the sparse position index
// runs when the number of equal-code-point position pairs D is at most K * (la + lb).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace simsieve {

inline constexpr uint64_t kDefaultWorkFactor = 34;

// Parses one spelling of SV_WORK_FACTOR: an optional single '+', then one or more ASCII digits
// and nothing else, fitting in 64 bits unsigned. Anything else yields nullopt.
std::optional<uint64_t> parse_work_factor(std::string_view text);

// The process-wide work factor: SV_WORK_FACTOR as parsed above, read once on first use (later
// changes of the environment have no effect); kDefaultWorkFactor when unset or not accepted.
uint64_t work_factor();

}  // namespace simsieve
