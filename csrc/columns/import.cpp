#include "columns/import.hpp"

#include <cstring>
#include <limits>

namespace simsieve::columns {
namespace {

[[noreturn]] void bad_type(const std::string& what) { throw ColumnError(ColumnError::Kind::Type, what); }
[[noreturn]] void malformed(const std::string& what) {
  throw ColumnError(ColumnError::Kind::Value, "malformed Arrow array: " + what);
}

std::optional<StringLayout> string_format(const char* format) {
  if (!std::strcmp(format, "u")) return StringLayout::Utf8;
  if (!std::strcmp(format, "U")) return StringLayout::LargeUtf8;
  if (!std::strcmp(format, "vu")) return StringLayout::Utf8View;
  return std::nullopt;
}

const ArrowSchema& only_child(const ArrowSchema& schema) {
  if (schema.n_children != 1 || !schema.children || !schema.children[0])
    bad_type("expected an Arrow column of strings, got a record batch of " + std::to_string(schema.n_children) +
             " columns");
  return *schema.children[0];
}

// The common checks of every array: sane counts and a buffer table of the expected size.
void check_header(const ArrowArray& array, int64_t n_buffers_min, int64_t n_children) {
  if (!array.release) malformed("the array is released");
  if (array.length < 0 || array.offset < 0) malformed("negative length or offset");
  if (array.length > std::numeric_limits<int64_t>::max() - array.offset - 1) malformed("length and offset overflow");
  if (array.n_buffers < n_buffers_min) malformed("expected at least " + std::to_string(n_buffers_min) + " buffers");
  if (!array.buffers) malformed("null buffer table");
  if (array.n_children != n_children) malformed("unexpected number of children");
  if (n_children > 0 && !array.children) malformed("null child table");
  if (array.dictionary) malformed("unexpected dictionary");
  if (array.null_count != 0 && array.null_count != -1 && !array.buffers[0] && array.length > 0)
    malformed("nulls counted without a validity buffer");
}

const uint8_t* validity_of(const ArrowArray& array) {
  return array.null_count == 0 ? nullptr : static_cast<const uint8_t*>(array.buffers[0]);
}

template <class Offset>
void check_offsets(const void* buffer, int64_t first, int64_t count, int64_t limit, const char* what) {
  if (!buffer) malformed(std::string("null ") + what + " buffer");
  const auto* offsets = static_cast<const Offset*>(buffer);
  Offset previous = offsets[first];
  if (previous < 0) malformed(std::string("negative ") + what);
  for (int64_t k = first + 1; k <= first + count; ++k) {
    const Offset next = offsets[k];
    if (next < previous) malformed(std::string(what) + " decrease at item " + std::to_string(k - first - 1));
    previous = next;
  }
  if (limit >= 0 && static_cast<int64_t>(previous) > limit)
    malformed(std::string(what) + " run past the end of the child (" + std::to_string(previous) + " > " +
              std::to_string(limit) + ")");
}

}  // namespace

ColumnType column_type(const ArrowSchema& schema) {
  if (!schema.release) malformed("the schema is released");
  ColumnType type;
  const ArrowSchema* s = &schema;
  if (!s->format) bad_type("Arrow schema without a format");
  if (!std::strcmp(s->format, "+s")) {
    s = &only_child(*s);
    type.wrapped = true;
    if (!s->format) bad_type("Arrow schema without a format");
  }
  if (s->dictionary) bad_type("dictionary-encoded Arrow columns are not supported; decode them to strings first");
  if (!std::strcmp(s->format, "+l") || !std::strcmp(s->format, "+L")) {
    type.lists = true;
    type.large_lists = s->format[1] == 'L';
    s = &only_child(*s);
    if (!s->format) bad_type("Arrow schema without a format");
    if (s->dictionary) bad_type("dictionary-encoded Arrow columns are not supported; decode them to strings first");
  }
  auto layout = string_format(s->format);
  if (!layout)
    bad_type(std::string("expected an Arrow column of ") + (type.lists ? "string lists" : "strings") +
             " (utf8, large_utf8 or utf8_view), got Arrow format '" + s->format + "'");
  type.layout = *layout;
  return type;
}

StringChunk validate_string_chunk(const ArrowArray& array, StringLayout layout) {
  const bool view = layout == StringLayout::Utf8View;
  check_header(array, 3, 0);
  StringChunk chunk;
  chunk.layout = layout;
  chunk.length = array.length;
  chunk.offset = array.offset;
  chunk.validity = validity_of(array);
  chunk.index = array.buffers[1];
  if (array.length == 0) return chunk;
  if (!view) {
    if (array.n_buffers != 3) malformed("a string array has 3 buffers");
    chunk.data = static_cast<const char*>(array.buffers[2]);
    if (layout == StringLayout::Utf8)
      check_offsets<int32_t>(array.buffers[1], array.offset, array.length, -1, "offsets");
    else
      check_offsets<int64_t>(array.buffers[1], array.offset, array.length, -1, "offsets");
    const int64_t first = layout == StringLayout::Utf8 ? static_cast<const int32_t*>(array.buffers[1])[array.offset]
                                                       : static_cast<const int64_t*>(array.buffers[1])[array.offset];
    const int64_t last = layout == StringLayout::Utf8
                             ? static_cast<const int32_t*>(array.buffers[1])[array.offset + array.length]
                             : static_cast<const int64_t*>(array.buffers[1])[array.offset + array.length];
    if (last > first && !chunk.data) malformed("null character data buffer");
    return chunk;
  }
  // utf8_view: validity, views, the variadic data buffers, then their int64 sizes.
  if (!array.buffers[1]) malformed("null views buffer");
  const int64_t n_data = array.n_buffers - 3;
  const auto* sizes = static_cast<const int64_t*>(array.buffers[array.n_buffers - 1]);
  if (n_data > 0 && !sizes) malformed("null variadic buffer sizes");
  chunk.variadic = reinterpret_cast<const char* const*>(array.buffers + 2);
  chunk.variadic_sizes = sizes;
  chunk.n_variadic = n_data;
  const char* views = static_cast<const char*>(array.buffers[1]);
  for (int64_t k = 0; k < array.length; ++k) {
    if (chunk.is_null(k)) continue;
    const char* v = views + 16 * (array.offset + k);
    int32_t size;
    std::memcpy(&size, v, 4);
    if (size < 0) malformed("negative string length in view " + std::to_string(k));
    if (size <= 12) continue;
    int32_t buffer;
    int32_t start;
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&start, v + 12, 4);
    if (buffer < 0 || buffer >= n_data) malformed("view " + std::to_string(k) + " names a missing data buffer");
    if (!chunk.variadic[buffer]) malformed("null data buffer");
    if (start < 0 || static_cast<int64_t>(start) + size > sizes[buffer])
      malformed("view " + std::to_string(k) + " runs past the end of its data buffer");
  }
  return chunk;
}

StringListChunk validate_list_chunk(const ArrowArray& array, const ColumnType& type) {
  check_header(array, 2, 1);
  if (array.n_buffers != 2) malformed("a list array has 2 buffers");
  if (!array.children[0]) malformed("null child array");
  StringListChunk chunk;
  chunk.length = array.length;
  chunk.offset = array.offset;
  chunk.large = type.large_lists;
  chunk.validity = validity_of(array);
  chunk.offsets = array.buffers[1];
  chunk.child = validate_string_chunk(*array.children[0], type.layout);
  if (array.length == 0) return chunk;
  if (type.large_lists)
    check_offsets<int64_t>(array.buffers[1], array.offset, array.length, array.children[0]->length, "list offsets");
  else
    check_offsets<int32_t>(array.buffers[1], array.offset, array.length, array.children[0]->length, "list offsets");
  return chunk;
}

ImportedColumn::ImportedColumn(OwnedSchema schema, std::vector<OwnedArray> batches)
    : schema_(std::move(schema)), batches_(std::move(batches)) {
  if (!schema_) malformed("null or released schema");
  type_ = column_type(*schema_);
  for (const OwnedArray& batch : batches_) {
    if (!batch) malformed("null or released array");
    const ArrowArray* array = batch.get();
    int64_t offset = 0;
    int64_t length = array->length;
    if (type_.wrapped) {
      // A record batch: its only field, narrowed to the batch's own slice.
      check_header(*array, 1, 1);
      if (!array->children[0]) malformed("null child array");
      if (array->buffers[0] && array->null_count != 0) malformed("a record batch with null rows");
      offset = array->offset;
      array = array->children[0];
      if (array->length < offset + length) malformed("a record batch longer than its column");
    }
    if (type_.lists) {
      StringListChunk chunk = validate_list_chunk(*array, type_);
      chunk.offset += offset;
      chunk.length = length;
      size_ += static_cast<size_t>(chunk.length);
      if (chunk.length > 0) lists_.push_back(chunk);
    } else {
      StringChunk chunk = validate_string_chunk(*array, type_.layout);
      chunk.offset += offset;
      chunk.length = length;
      strings_.add_chunk(chunk);
      size_ += static_cast<size_t>(chunk.length);
    }
  }
}

std::optional<StringFault> ImportedColumn::first_fault(Nulls nulls) const {
  if (!type_.lists) return columns::first_fault(strings_, true, nulls);
  size_t n = 0;
  for (const StringListChunk& chunk : lists_) {
    for (int64_t k = 0; k < chunk.length; ++k, ++n) {
      if (chunk.is_null(k)) return StringFault{StringFault::Kind::Null, n};
      for (int64_t t = chunk.begin(k); t < chunk.end(k); ++t) {
        if (chunk.child.is_null(t)) return StringFault{StringFault::Kind::Null, n};
        if (!valid_utf8(chunk.child.at(t))) return StringFault{StringFault::Kind::InvalidUtf8, n};
      }
    }
  }
  return std::nullopt;
}

std::vector<std::vector<std::string>> ImportedColumn::copy_lists() const {
  std::vector<std::vector<std::string>> out;
  out.reserve(size_);
  for (const StringListChunk& chunk : lists_) {
    for (int64_t k = 0; k < chunk.length; ++k) {
      std::vector<std::string>& doc = out.emplace_back();
      doc.reserve(static_cast<size_t>(chunk.end(k) - chunk.begin(k)));
      for (int64_t t = chunk.begin(k); t < chunk.end(k); ++t) doc.emplace_back(chunk.child.at(t));
    }
  }
  return out;
}

StreamContents read_stream(OwnedStream stream) {
  if (!stream) malformed("null or released stream");
  ArrowArrayStream* s = stream.get();
  auto stream_error = [&](int code) {
    const char* message = s->get_last_error ? s->get_last_error(s) : nullptr;
    throw ColumnError(ColumnError::Kind::Value, std::string("Arrow stream error: ") +
                                                    (message ? message : ("code " + std::to_string(code))));
  };
  if (!s->get_schema || !s->get_next) malformed("stream without callbacks");
  ArrowSchema raw_schema{};
  if (int code = s->get_schema(s, &raw_schema)) stream_error(code);
  OwnedSchema schema(&raw_schema);
  column_type(*schema);  // refuse a wrong type before reading any batch
  std::vector<OwnedArray> batches;
  for (;;) {
    ArrowArray raw{};
    if (int code = s->get_next(s, &raw)) stream_error(code);
    if (!raw.release) break;
    batches.emplace_back(&raw);
  }
  return StreamContents{std::move(schema), std::move(batches)};
}

}  // namespace simsieve::columns
