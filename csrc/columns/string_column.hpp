// StringColumn: a validated, read-only view of a column of strings held in Arrow memory (utf8,
// large_utf8 or utf8_view chunks, any offsets) or in owned C++ strings. Any core operation may
// read it from any thread: item i is a string_view into the column's own buffers, with no copy.
// The view owns nothing; the Arrow structs behind it are owned by an ImportedColumn
// (columns/import.hpp), which outlives every use of the view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simsieve::columns {

enum class StringLayout : uint8_t { Utf8, LargeUtf8, Utf8View, Owned };

// One contiguous piece of a column, as checked by validate_string_chunk: every offset and view
// it holds lies inside the buffers it names.
struct StringChunk {
  StringLayout layout = StringLayout::Owned;
  int64_t length = 0;
  int64_t offset = 0;               // the Arrow array offset (slices)
  const uint8_t* validity = nullptr;  // null when the chunk has no nulls
  const void* index = nullptr;      // int32/int64 offsets, 16-byte views, or std::string items
  const char* data = nullptr;       // the character data of the offset layouts
  const char* const* variadic = nullptr;  // the data buffers of the view layout
  const int64_t* variadic_sizes = nullptr;  // their sizes in bytes
  int64_t n_variadic = 0;

  bool is_null(int64_t i) const noexcept {
    if (!validity) return false;
    const int64_t bit = offset + i;
    return ((validity[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  std::string_view at(int64_t i) const noexcept;
};

class StringColumn {
 public:
  StringColumn() = default;
  // A column over owned strings (no copy; the strings must outlive the view).
  static StringColumn of(std::span<const std::string> strings);

  void add_chunk(const StringChunk& chunk);
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::string_view operator[](size_t i) const noexcept {
    const auto& [chunk, k] = locate(i);
    return chunk.at(k);
  }
  bool is_null(size_t i) const noexcept {
    const auto& [chunk, k] = locate(i);
    return chunk.is_null(k);
  }
  std::span<const StringChunk> chunks() const noexcept { return chunks_; }

  // Calls f(index, string_view) for every item, in order (null items read as empty).
  template <class F>
  void for_each(F&& f) const {
    size_t n = 0;
    for (const StringChunk& chunk : chunks_)
      for (int64_t k = 0; k < chunk.length; ++k) f(n++, chunk.at(k));
  }

 private:
  struct Located {
    const StringChunk& chunk;
    int64_t k;
  };
  Located locate(size_t i) const noexcept;

  std::vector<StringChunk> chunks_;
  std::vector<size_t> starts_;  // index of each chunk's first item
  size_t size_ = 0;
};

// Whether an operation takes null items (as absent entries it skips) or refuses them.
enum class Nulls : uint8_t { Reject, Allow };

// The first item that a string operation cannot take: a null (unless nulls are allowed), or
// (with check_utf8) bytes that are not valid UTF-8.
struct StringFault {
  enum class Kind { Null, InvalidUtf8 } kind;
  size_t index;
};
std::optional<StringFault> first_fault(const StringColumn& column, bool check_utf8 = true,
                                       Nulls nulls = Nulls::Reject);

// Whether bytes are valid UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
bool valid_utf8(std::string_view bytes) noexcept;

}  // namespace simsieve::columns
