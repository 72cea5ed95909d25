// The choices of a search. Either copied once into one owned arena and ordered by length in code
// points (ties by input position), so that the length bound of a query selects a contiguous
// window and every query scans memory in order; or, for a single query, views of the caller's
// texts in input order (the caller keeps them alive and unchanged while the set is used).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/string_column.hpp"

namespace simsieve {

class ChoiceSet {
 public:
  // Entry k of the length order: its UTF-8 text, its length in code points, its input position.
  std::string_view text(size_t k) const {
    if (!sorted_) return views_[k];
    return {bytes_.get() + offsets_[k], static_cast<size_t>(offsets_[k + 1] - offsets_[k])};
  }
  uint32_t length(size_t k) const { return lengths_[k]; }
  uint64_t index(size_t k) const { return index_[k]; }
  // Starts loading the text of entry k into the cache: the views form points into texts
  // scattered through the caller's memory, read one after another by a scan.
  void prefetch(size_t k) const {
    if (sorted_ || k >= views_.size()) return;
    const char* p = views_[k].data();
    __builtin_prefetch(p);
    if (views_[k].size() > 32) __builtin_prefetch(p + 63);
  }
  // True when entry k is all ASCII (one byte per code point).
  bool ascii(size_t k) const { return text(k).size() == lengths_[k]; }
  // True for the copied, length-ordered form; false for views in input order.
  bool sorted() const { return sorted_; }

  // Present entries (absent input positions are not counted).
  size_t size() const { return lengths_.size(); }
  // Input positions, absent ones included.
  uint64_t input_size() const { return input_size_; }
  // Lengths of the entries, ascending in the sorted form.
  const std::vector<uint32_t>& lengths() const { return lengths_; }

 private:
  friend class ChoiceSetBuilder;
  bool sorted_ = true;
  std::vector<std::string_view> views_;  // the unsorted form
  std::unique_ptr<char[]> bytes_;
  std::vector<uint64_t> offsets_{0};
  std::vector<uint32_t> lengths_;
  std::vector<uint64_t> index_;
  uint64_t input_size_ = 0;
};

// Collects borrowed views of the choices in input order, then copies them into a ChoiceSet. The
// views must stay valid until build() returns.
class ChoiceSetBuilder {
 public:
  void reserve(size_t n) { items_.reserve(n); }
  // The next input position: a UTF-8 text with its length in code points.
  void add(std::string_view utf8, uint32_t code_points) { items_.push_back({utf8, code_points, next_++}); }
  // The next input position is absent (skipped by every search, its index still counted).
  void skip() { ++next_; }
  // Every item of a column as the next input positions, a null item as an absent one. The
  // column's buffers must outlive the builder and what it builds with build_views().
  void add_column(const columns::StringColumn& column);
  // The owned, length-ordered form (the views are copied).
  ChoiceSet build() const;
  // The views themselves, in input order; they must outlive the result.
  ChoiceSet build_views() const;

 private:
  struct Item {
    std::string_view text;
    uint32_t length;
    uint64_t index;
  };
  std::vector<Item> items_;
  uint64_t next_ = 0;
};

// A whole owned list of optional UTF-8 strings as a ChoiceSet (lengths counted here).
ChoiceSet make_choice_set(const std::vector<std::optional<std::string>>& choices);

// Number of code points of valid UTF-8 text.
uint32_t utf8_length(std::string_view s);

}  // namespace simsieve
