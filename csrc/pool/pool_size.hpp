// How many workers a pool gets: the sizing rule of the shared pool (environment variables, then
// the processor count) and the cap on any pool's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace simsieve {

// No pool has more workers than this; larger requests are capped, not refused.
inline constexpr size_t kMaxWorkers = 65535;

// An unsigned decimal count: digits only, after at most one leading '+'; no blanks, no sign '-',
// no other character, no overflow of 64 bits. nullopt when the text does not parse.
std::optional<uint64_t> parse_thread_count(std::string_view text);

// The sizing rule, given the two variables' values (nullptr when unset) and the processor count:
// RAYON_NUM_THREADS when it parses (0 meaning the processor count, and then RAYON_RS_NUM_CPUS is
// not consulted), else RAYON_RS_NUM_CPUS when it parses to a value above 0, else the processor
// count; capped at kMaxWorkers.
size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, size_t processors);

// The logical processors available to this process (its CPU affinity set), 1 if unknown.
size_t processor_count();

// pool_size_from applied to the current environment and processor count.
size_t default_pool_size();

// The worker count for a request: 0 means default_pool_size(), anything else is capped.
size_t requested_pool_size(uint64_t requested);

}  // namespace simsieve
