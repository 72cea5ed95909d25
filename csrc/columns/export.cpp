#include "columns/export.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <utility>

namespace simsieve::columns {
namespace {

std::atomic<int64_t> live_count{0};

// Counts the exported structs that one private block stands for.
struct Counted {
  Counted() noexcept { live_count.fetch_add(1, std::memory_order_relaxed); }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
  ~Counted() { live_count.fetch_sub(1, std::memory_order_relaxed); }
};

// Buffers of zero-length columns point here: consumers may reject a null data buffer.
alignas(64) const unsigned char kEmptyBuffer[64] = {};

// Bookkeeping behind one exported schema: the texts it points at and its children.
struct SchemaPrivate {
  Counted counted;
  std::string format;
  std::string name;
  std::vector<std::unique_ptr<ArrowSchema>> child_storage;
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
  if (!schema || !schema->release) return;
  std::unique_ptr<SchemaPrivate> owned(static_cast<SchemaPrivate*>(schema->private_data));
  for (ArrowSchema* child : owned->children) {
    if (child->release) child->release(child);
  }
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void fill_schema(ArrowSchema* schema, std::string format, std::string name,
                 std::vector<std::unique_ptr<ArrowSchema>> children) {
  auto priv = std::make_unique<SchemaPrivate>();
  priv->format = std::move(format);
  priv->name = std::move(name);
  priv->child_storage = std::move(children);
  for (auto& child : priv->child_storage) priv->children.push_back(child.get());
  schema->format = priv->format.c_str();
  schema->name = priv->name.c_str();
  schema->metadata = nullptr;
  schema->flags = 0;
  schema->n_children = static_cast<int64_t>(priv->children.size());
  schema->children = priv->children.empty() ? nullptr : priv->children.data();
  schema->dictionary = nullptr;
  schema->release = release_schema;
  schema->private_data = priv.release();
}

// Bookkeeping behind one exported array: the share of the values, the buffer table, children.
struct ArrayPrivate {
  Counted counted;
  std::shared_ptr<const void> owner;
  std::array<const void*, 2> buffers{};
  std::vector<std::unique_ptr<ArrowArray>> child_storage;
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  if (!array || !array->release) return;
  std::unique_ptr<ArrayPrivate> owned(static_cast<ArrayPrivate*>(array->private_data));
  for (ArrowArray* child : owned->children) {
    if (child->release) child->release(child);
  }
  array->release = nullptr;
  array->private_data = nullptr;
}

void fill_array(ArrowArray* array, std::unique_ptr<ArrayPrivate> priv, int64_t length, int64_t n_buffers) {
  for (auto& child : priv->child_storage) priv->children.push_back(child.get());
  array->length = length;
  array->null_count = 0;
  array->offset = 0;
  array->n_buffers = n_buffers;
  array->n_children = static_cast<int64_t>(priv->children.size());
  array->buffers = priv->buffers.data();
  array->children = priv->children.empty() ? nullptr : priv->children.data();
  array->dictionary = nullptr;
  array->release = release_array;
  array->private_data = priv.release();
}

void fill_column_array(const OutputColumn& column, ArrowArray* array) {
  auto priv = std::make_unique<ArrayPrivate>();
  priv->owner = column.owner;
  priv->buffers = {nullptr, column.length > 0 ? column.data : kEmptyBuffer};
  fill_array(array, std::move(priv), column.length, 2);
}

}  // namespace

void export_column(const OutputColumn& column, ArrowSchema* schema, ArrowArray* array) {
  if (schema) fill_schema(schema, column.format, column.name, {});
  if (array) fill_column_array(column, array);
}

void export_table(const std::shared_ptr<const OutputTable>& table, ArrowSchema* schema, ArrowArray* array) {
  if (schema) {
    std::vector<std::unique_ptr<ArrowSchema>> children;
    for (const OutputColumn& column : table->columns) {
      children.push_back(std::make_unique<ArrowSchema>());
      fill_schema(children.back().get(), column.format, column.name, {});
    }
    fill_schema(schema, "+s", "", std::move(children));
  }
  if (array) {
    auto priv = std::make_unique<ArrayPrivate>();
    priv->owner = table;
    for (const OutputColumn& column : table->columns) {
      priv->child_storage.push_back(std::make_unique<ArrowArray>());
      fill_column_array(column, priv->child_storage.back().get());
    }
    fill_array(array, std::move(priv), table->rows, 1);
  }
}

namespace {

struct StreamPrivate {
  Counted counted;
  std::shared_ptr<const OutputTable> table;
  bool done = false;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  if (!stream || !stream->release || !out) return EINVAL;
  try {
    export_table(static_cast<StreamPrivate*>(stream->private_data)->table, out, nullptr);
  } catch (...) {
    return ENOMEM;
  }
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  if (!stream || !stream->release || !out) return EINVAL;
  auto* priv = static_cast<StreamPrivate*>(stream->private_data);
  if (priv->done) {
    out->release = nullptr;  // end of stream
    return 0;
  }
  try {
    export_table(priv->table, nullptr, out);
  } catch (...) {
    return ENOMEM;
  }
  priv->done = true;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
  if (!stream || !stream->release) return;
  std::unique_ptr<StreamPrivate> owned(static_cast<StreamPrivate*>(stream->private_data));
  stream->release = nullptr;
  stream->private_data = nullptr;
}

}  // namespace

int64_t live_exports() noexcept { return live_count.load(std::memory_order_relaxed); }

void export_stream(std::shared_ptr<const OutputTable> table, ArrowArrayStream* stream) {
  auto priv = std::make_unique<StreamPrivate>();
  priv->table = std::move(table);
  stream->get_schema = stream_get_schema;
  stream->get_next = stream_get_next;
  stream->get_last_error = stream_get_last_error;
  stream->release = release_stream;
  stream->private_data = priv.release();
}

}  // namespace simsieve::columns
