// Per-canonical match index slots shared by the workers of one clustering call: each index is
// built at most once, by the first worker that asks for it, and read by everyone after.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cluster/cluster_types.hpp"
#include "gestalt/match_index.hpp"

namespace simsieve {

// One slot: empty, being built, ready, or failed (its builder threw; the slot then stays unusable
// for the rest of the call and every later asker fails too).
class LazyMatchIndex {
 public:
  LazyMatchIndex() = default;
  LazyMatchIndex(const LazyMatchIndex&) = delete;
  LazyMatchIndex& operator=(const LazyMatchIndex&) = delete;

  // The index of `text`, building it if the slot is empty or waiting while another thread builds
  // it. Throws InternalError when the slot's build failed.
  const MatchIndex& get(CodepointView text);

  // Fills an empty slot with an index built elsewhere (before the slot is shared).
  void set(MatchIndex index);

  bool ready() const { return state_.load(std::memory_order_acquire) == kReady; }

  // Frees a ready index and empties the slot, so that a later ask builds it again. Only for a slot
  // nobody else can be reading or building at the time.
  void release();

 private:
  static constexpr uint8_t kEmpty = 0, kBuilding = 1, kReady = 2, kFailed = 3;
  std::atomic<uint8_t> state_{kEmpty};
  // Held apart from the slot: an index is several hundred bytes before its first entry, and most
  // slots of a large call never get one, so the table stays a few bytes per canonical.
  std::unique_ptr<MatchIndex> index_;
};

// The slots of one call, one per canonical, together with the canonicals they index.
class MatchIndexTable {
 public:
  explicit MatchIndexTable(std::span<const CodepointView> canonicals)
      : canonicals_(canonicals), slots_(canonicals.size()) {}

  // A table whose slots arrive ready: ready[k] is the index of canonical k.
  MatchIndexTable(std::span<const CodepointView> canonicals, std::vector<MatchIndex> ready);

  size_t size() const { return slots_.size(); }
  LazyMatchIndex& slot(size_t k) { return slots_[k]; }

  // The index of canonical k; safe to call from any number of workers at once.
  const MatchIndex& match_index_of(size_t k) { return slots_[k].get(canonicals_[k]); }

 private:
  std::span<const CodepointView> canonicals_;
  std::vector<LazyMatchIndex> slots_;
};

}  // namespace simsieve
