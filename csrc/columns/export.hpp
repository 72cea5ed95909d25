// Export of results through the Arrow C data interface: fixed-width columns and record batches
// of them, handed out as ArrowSchema/ArrowArray pairs or as a one-batch ArrowArrayStream. The
// exported structs share ownership of the values, so the consumer reads them in place for as
// long as it likes; their release callbacks free only this library's bookkeeping and drop that
// share, need no lock and may run on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "columns/arrow_abi.hpp"

namespace simsieve::columns {

namespace detail {
template <class T>
constexpr const char* arrow_format();
template <>
constexpr const char* arrow_format<double>() { return "g"; }
template <>
constexpr const char* arrow_format<float>() { return "f"; }
template <>
constexpr const char* arrow_format<uint32_t>() { return "I"; }
template <>
constexpr const char* arrow_format<uint64_t>() { return "L"; }
template <>
constexpr const char* arrow_format<int64_t>() { return "l"; }
}  // namespace detail

// One fixed-width, null-free column of values owned elsewhere and kept alive by `owner`.
struct OutputColumn {
  std::string name;
  const char* format = "";
  std::shared_ptr<const void> owner;
  const void* data = nullptr;
  int64_t length = 0;
};

template <class T>
OutputColumn output_column(std::string name, std::shared_ptr<const std::vector<T>> values) {
  OutputColumn column;
  column.name = std::move(name);
  column.format = detail::arrow_format<T>();
  column.data = values->data();
  column.length = static_cast<int64_t>(values->size());
  column.owner = std::move(values);
  return column;
}

// A record batch: named columns of one length.
struct OutputTable {
  std::vector<OutputColumn> columns;
  int64_t rows = 0;
};

// Fills *schema and *array with one column (a plain array).
void export_column(const OutputColumn& column, ArrowSchema* schema, ArrowArray* array);
// Fills *schema and/or *array (either may be null) with the table as a struct array, the form
// in which the C data interface carries one record batch.
void export_table(const std::shared_ptr<const OutputTable>& table, ArrowSchema* schema, ArrowArray* array);
// Fills *stream with a stream that yields the table as its only record batch.
void export_stream(std::shared_ptr<const OutputTable> table, ArrowArrayStream* stream);

// How many exported structs (schemas, arrays, streams, children included) are not yet
// released: for tests of the release callbacks.
int64_t live_exports() noexcept;

}  // namespace simsieve::columns
