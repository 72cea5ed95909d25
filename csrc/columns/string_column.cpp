#include "columns/string_column.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace simsieve::columns {

std::string_view StringChunk::at(int64_t i) const noexcept {
  const int64_t k = offset + i;
  switch (layout) {
    case StringLayout::Utf8: {
      const auto* offsets = static_cast<const int32_t*>(index);
      return {data + offsets[k], static_cast<size_t>(offsets[k + 1] - offsets[k])};
    }
    case StringLayout::LargeUtf8: {
      const auto* offsets = static_cast<const int64_t*>(index);
      return {data + offsets[k], static_cast<size_t>(offsets[k + 1] - offsets[k])};
    }
    case StringLayout::Utf8View: {
      const char* view = static_cast<const char*>(index) + 16 * k;
      int32_t size;
      std::memcpy(&size, view, 4);
      if (size <= 12) return {view + 4, static_cast<size_t>(size)};
      int32_t buffer;
      int32_t start;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&start, view + 12, 4);
      return {variadic[buffer] + start, static_cast<size_t>(size)};
    }
    case StringLayout::Owned:
      return static_cast<const std::string*>(index)[k];
  }
  return {};
}

StringColumn StringColumn::of(std::span<const std::string> strings) {
  StringColumn column;
  StringChunk chunk;
  chunk.layout = StringLayout::Owned;
  chunk.length = static_cast<int64_t>(strings.size());
  chunk.index = strings.data();
  column.add_chunk(chunk);
  return column;
}

void StringColumn::add_chunk(const StringChunk& chunk) {
  if (chunk.length == 0) return;
  starts_.push_back(size_);
  chunks_.push_back(chunk);
  size_ += static_cast<size_t>(chunk.length);
}

StringColumn::Located StringColumn::locate(size_t i) const noexcept {
  if (chunks_.size() == 1) return {chunks_[0], static_cast<int64_t>(i)};
  const size_t c = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) - starts_.begin()) - 1;
  return {chunks_[c], static_cast<int64_t>(i - starts_[c])};
}

bool valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Fast path over ASCII, 32 then 8 bytes at a time.
    while (end - p >= 32) {
      uint64_t w[4];
      std::memcpy(w, p, 32);
      if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) break;
      p += 32;
    }
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if (word & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p >= end) break;
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    for (int k = 1; k <= extra; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[k] & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    p += extra + 1;
  }
  return true;
}

namespace {

// Whether every string of an offset-layout chunk is valid UTF-8, checked in one pass over its
// character data: the bytes from the first string's start to the last one's end form valid
// UTF-8, and no string starts inside a character (on a continuation byte). A string between
// two character boundaries of valid UTF-8 is valid itself. False also when the strings are valid
// but the data between them is not (null entries may hold any bytes): the caller then checks
// string by string.
template <class Offset>
bool all_valid_utf8(const StringChunk& chunk) noexcept {
  const auto* offsets = static_cast<const Offset*>(chunk.index) + chunk.offset;
  const Offset begin = offsets[0];
  const Offset end = offsets[chunk.length];
  if (!valid_utf8({chunk.data + begin, static_cast<size_t>(end - begin)})) return false;
  const auto* data = reinterpret_cast<const unsigned char*>(chunk.data);
  for (int64_t k = 1; k < chunk.length; ++k) {
    if (offsets[k] < end && (data[offsets[k]] & 0xC0) == 0x80) return false;
  }
  return true;
}

// The same for a view-layout chunk: every data buffer that is valid UTF-8 as a whole is checked
// once, and each string in it then only at its two ends (it neither starts nor ends inside a
// character). Strings of up to 12 bytes live in their views and are checked there, mostly by one
// ASCII test. Null entries are skipped: their views may hold anything.
bool all_valid_utf8_views(const StringChunk& chunk) {
  std::vector<int8_t> buffer_valid(static_cast<size_t>(chunk.n_variadic), -1);  // -1: not checked yet
  const char* views = static_cast<const char*>(chunk.index) + 16 * chunk.offset;
  for (int64_t k = 0; k < chunk.length; ++k) {
    if (chunk.is_null(k)) continue;
    const char* view = views + 16 * k;
    int32_t size;
    std::memcpy(&size, view, 4);
    if (size <= 12) {
      uint64_t lo;
      uint32_t hi;
      std::memcpy(&lo, view + 4, 8);
      std::memcpy(&hi, view + 12, 4);
      // Bytes past the string's end are zero in a well-formed view, but need not be: mask them.
      const uint64_t lo_mask = size >= 8 ? ~0ULL : (1ULL << (8 * size)) - 1;
      const uint32_t hi_mask = size <= 8 ? 0u : size >= 12 ? ~0u : (1u << (8 * (size - 8))) - 1;
      if (((lo & lo_mask) & 0x8080808080808080ULL) == 0 && ((hi & hi_mask) & 0x80808080u) == 0) continue;
      if (!valid_utf8({view + 4, static_cast<size_t>(size)})) return false;
      continue;
    }
    int32_t buffer;
    int32_t start;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&start, view + 12, 4);
    int8_t& ok = buffer_valid[static_cast<size_t>(buffer)];
    const int64_t buffer_size = chunk.variadic_sizes[buffer];
    const auto* data = reinterpret_cast<const unsigned char*>(chunk.variadic[buffer]);
    if (ok < 0) ok = valid_utf8({chunk.variadic[buffer], static_cast<size_t>(buffer_size)}) ? 1 : 0;
    if (!ok) return false;
    const int64_t end = static_cast<int64_t>(start) + size;
    if ((data[start] & 0xC0) == 0x80 || (end < buffer_size && (data[end] & 0xC0) == 0x80)) return false;
  }
  return true;
}

bool chunk_valid_utf8(const StringChunk& chunk) {
  if (chunk.length == 0) return true;
  switch (chunk.layout) {
    case StringLayout::Utf8:
      return all_valid_utf8<int32_t>(chunk);
    case StringLayout::LargeUtf8:
      return all_valid_utf8<int64_t>(chunk);
    case StringLayout::Owned:
      return true;  // converted from Python str: valid by construction
    case StringLayout::Utf8View:
      return all_valid_utf8_views(chunk);
  }
  return false;
}

}  // namespace

std::optional<StringFault> first_fault(const StringColumn& column, bool check_utf8, Nulls nulls) {
  size_t n = 0;
  for (const StringChunk& chunk : column.chunks()) {
    // Usually the whole chunk is valid: one pass over its bytes, then only nulls to look for.
    const bool valid = check_utf8 && chunk_valid_utf8(chunk);
    if ((valid || !check_utf8) && (nulls == Nulls::Allow || !chunk.validity)) {
      n += static_cast<size_t>(chunk.length);
      continue;
    }
    for (int64_t k = 0; k < chunk.length; ++k, ++n) {
      if (chunk.is_null(k)) {
        if (nulls == Nulls::Allow) continue;
        return StringFault{StringFault::Kind::Null, n};
      }
      if (check_utf8 && !valid && chunk.layout != StringLayout::Owned && !valid_utf8(chunk.at(k)))
        return StringFault{StringFault::Kind::InvalidUtf8, n};
    }
  }
  return std::nullopt;
}

}  // namespace simsieve::columns
