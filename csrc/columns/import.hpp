// Import through the Arrow C data interface: the owning wrappers that release an imported
// struct exactly once, and ImportedColumn, which takes a schema and its batches, checks every
// buffer, offset and length it will read, and exposes them as a StringColumn (or a column of
// string lists) for the core operations. Nothing here knows where the structs came from: the
// Python capsules of the binding layer and batches handed over by a driver go the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns/arrow_abi.hpp"
#include "columns/string_column.hpp"

namespace simsieve::columns {

// A column that cannot be imported: Type for a data type that is not a string column, Value for
// a malformed array (bad pointers, offsets or lengths).
class ColumnError : public std::runtime_error {
 public:
  enum class Kind { Type, Value };
  ColumnError(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
  Kind kind;
};

// Move-only owners of imported structs: each takes the struct out of its source (leaving the
// source marked released) and calls its release callback once, when dropped.
template <class T>
class Owned {
 public:
  Owned() = default;
  explicit Owned(T* source) : value_(std::make_unique<T>(*source)) { source->release = nullptr; }
  Owned(Owned&&) noexcept = default;
  Owned& operator=(Owned&& other) noexcept {
    reset();
    value_ = std::move(other.value_);
    return *this;
  }
  ~Owned() { reset(); }
  T* get() const noexcept { return value_.get(); }
  const T& operator*() const noexcept { return *value_; }
  const T* operator->() const noexcept { return value_.get(); }
  explicit operator bool() const noexcept { return value_ && value_->release; }

 private:
  void reset() noexcept {
    if (value_ && value_->release) value_->release(value_.get());
    value_.reset();
  }
  std::unique_ptr<T> value_;
};
using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

// A column of string lists (list<string> or large_list<string>): item i is the list of
// strings child[begin(i) .. end(i)).
struct StringListChunk {
  int64_t length = 0;
  int64_t offset = 0;
  const uint8_t* validity = nullptr;
  const void* offsets = nullptr;
  bool large = false;
  StringChunk child;

  bool is_null(int64_t i) const noexcept {
    if (!validity) return false;
    const int64_t bit = offset + i;
    return ((validity[bit >> 3] >> (bit & 7)) & 1) == 0;
  }
  int64_t begin(int64_t i) const noexcept {
    return large ? static_cast<const int64_t*>(offsets)[offset + i] : static_cast<const int32_t*>(offsets)[offset + i];
  }
  int64_t end(int64_t i) const noexcept { return begin(i + 1); }
};

// The shape of an importable column: strings, or lists of strings; either may come wrapped as
// the only field of a record batch (a one-column table).
struct ColumnType {
  bool lists = false;
  bool large_lists = false;
  bool wrapped = false;
  StringLayout layout = StringLayout::Utf8;
};
// The column type a schema describes; ColumnError(Type) for anything else.
ColumnType column_type(const ArrowSchema& schema);

// Checks one array of the given type and returns the chunk that reads it; ColumnError(Value)
// when any pointer, count, offset or view it holds is out of place.
StringChunk validate_string_chunk(const ArrowArray& array, StringLayout layout);
StringListChunk validate_list_chunk(const ArrowArray& array, const ColumnType& type);

// A column imported from a schema and its batches, which it owns for its whole life.
class ImportedColumn {
 public:
  // Validates the type and every batch (ColumnError otherwise; the structs are released
  // either way). The checks read every offset of the column, not the character data: UTF-8 and
  // nulls are the caller's to check with first_fault, where its operation needs them.
  ImportedColumn(OwnedSchema schema, std::vector<OwnedArray> batches);
  ImportedColumn(ImportedColumn&&) noexcept = default;
  ImportedColumn& operator=(ImportedColumn&&) noexcept = default;

  const ColumnType& type() const noexcept { return type_; }
  size_t size() const noexcept { return size_; }
  // The strings of a string column.
  const StringColumn& strings() const noexcept { return strings_; }
  // The chunks of a column of string lists.
  const std::vector<StringListChunk>& lists() const noexcept { return lists_; }

  // Owned copies of the lists of a column of string lists, in order.
  std::vector<std::vector<std::string>> copy_lists() const;

  // The first null or invalid item: a null string (unless nulls are allowed) or one that is
  // not UTF-8; for lists a null list, a null token or a token that is not UTF-8 (index of the
  // list; nulls are never allowed there).
  std::optional<StringFault> first_fault(Nulls nulls = Nulls::Reject) const;

 private:
  OwnedSchema schema_;
  std::vector<OwnedArray> batches_;
  ColumnType type_;
  StringColumn strings_;
  std::vector<StringListChunk> lists_;
  size_t size_ = 0;
};

// The schema and every batch of a stream, read in order; ColumnError(Value) carrying the
// stream's own message when it reports an error, ColumnError(Type) for a schema that is not a
// string column (before any batch is read). The stream is released when this returns.
struct StreamContents {
  OwnedSchema schema;
  std::vector<OwnedArray> batches;
};
StreamContents read_stream(OwnedStream stream);

}  // namespace simsieve::columns
