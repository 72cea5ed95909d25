#include "search/choice_set.hpp"

#include <algorithm>

namespace simsieve {

uint32_t utf8_length(std::string_view s) {
  uint32_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

ChoiceSet ChoiceSetBuilder::build() const {
  ChoiceSet out;
  out.input_size_ = next_;
  const size_t n = items_.size();
  // Counting sort by length keeps input order within one length.
  uint32_t max_len = 0;
  for (const Item& it : items_) max_len = std::max(max_len, it.length);
  std::vector<size_t> start(static_cast<size_t>(max_len) + 2, 0);
  for (const Item& it : items_) ++start[it.length + 1];
  for (size_t l = 1; l < start.size(); ++l) start[l] += start[l - 1];
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[start[items_[i].length]++] = i;

  size_t total = 0;
  for (const Item& it : items_) total += it.text.size();
  out.bytes_.reserve(total);
  out.offsets_.reserve(n + 1);
  out.lengths_.reserve(n);
  out.index_.reserve(n);
  for (size_t i : order) {
    const Item& it = items_[i];
    out.bytes_.append(it.text);
    out.offsets_.push_back(out.bytes_.size());
    out.lengths_.push_back(it.length);
    out.index_.push_back(it.index);
  }
  return out;
}

ChoiceSet make_choice_set(const std::vector<std::optional<std::string>>& choices) {
  ChoiceSetBuilder builder;
  builder.reserve(choices.size());
  for (const auto& c : choices) {
    if (c)
      builder.add(*c, utf8_length(*c));
    else
      builder.skip();
  }
  return builder.build();
}

}  // namespace simsieve
