#include "search/choice_set.hpp"

#include <algorithm>
#include <cstring>

namespace simsieve {

uint32_t utf8_length(std::string_view s) {
  uint32_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

void ChoiceSetBuilder::add_column(const columns::StringColumn& column) {
  items_.reserve(items_.size() + column.size());
  for (const columns::StringChunk& chunk : column.chunks()) {
    for (int64_t k = 0; k < chunk.length; ++k) {
      if (chunk.is_null(k)) {
        skip();
        continue;
      }
      const std::string_view text = chunk.at(k);
      add(text, utf8_length(text));
    }
  }
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

  out.offsets_.resize(n + 1);
  out.lengths_.resize(n);
  out.index_.resize(n);
  uint64_t total = 0;
  for (size_t k = 0; k < n; ++k) {
    const Item& it = items_[order[k]];
    out.lengths_[k] = it.length;
    out.index_[k] = it.index;
    total += it.text.size();
    out.offsets_[k + 1] = total;
  }
  out.bytes_ = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(total) + 1);
  char* dst = out.bytes_.get();
  for (size_t k = 0; k < n; ++k) {
    const std::string_view text = items_[order[k]].text;
    if (!text.empty()) std::memcpy(dst + out.offsets_[k], text.data(), text.size());
  }
  return out;
}

ChoiceSet ChoiceSetBuilder::build_views() const {
  ChoiceSet out;
  out.sorted_ = false;
  out.input_size_ = next_;
  out.views_.reserve(items_.size());
  out.lengths_.reserve(items_.size());
  out.index_.reserve(items_.size());
  for (const Item& it : items_) {
    out.views_.push_back(it.text);
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
