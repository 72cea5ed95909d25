#include "python/arrow_capsule.hpp"

#include <string>

#include "columns/import.hpp"
#include "python/build.hpp"
#include "python/errors.hpp"

namespace simsieve::py {
namespace {

constexpr const char kSchemaName[] = "arrow_schema";
constexpr const char kArrayName[] = "arrow_array";
constexpr const char kStreamName[] = "arrow_array_stream";

template <class T, const char* Name>
void destroy_capsule(PyObject* capsule) {
  auto* raw = static_cast<T*>(PyCapsule_GetPointer(capsule, Name));
  if (!raw) {
    PyErr_Clear();
    return;
  }
  std::unique_ptr<T> owned(raw);
  if (owned->release) owned->release(owned.get());
}

template <class T, const char* Name>
Ref make_capsule(std::unique_ptr<T> value) {
  PyObject* capsule = PyCapsule_New(value.get(), Name, destroy_capsule<T, Name>);
  if (!capsule) {
    if (value->release) value->release(value.get());
    throw PythonError{};
  }
  value.release();
  return Ref(capsule);
}

template <class T>
void take(PyObject* capsule, const char* name, T* out) {
  if (!PyCapsule_CheckExact(capsule)) {
    Ref type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(capsule)), "__name__"));
    if (!type_name) throw PythonError{};
    throw_type_error(PyUnicode_FromFormat("expected a PyCapsule named '%s', got a '%U' object", name, type_name.get()));
  }
  const char* actual = PyCapsule_GetName(capsule);
  if (!actual && PyErr_Occurred()) throw PythonError{};
  if (!actual || std::string(actual) != name) {
    throw_type_error(PyUnicode_FromFormat("expected a PyCapsule named '%s', got one named '%s'", name,
                                          actual ? actual : "(null)"));
  }
  auto* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (!source) {
    if (PyErr_Occurred()) throw PythonError{};
    throw columns::ColumnError(columns::ColumnError::Kind::Value, "Arrow PyCapsule holds a null pointer");
  }
  if (!source->release)
    throw columns::ColumnError(columns::ColumnError::Kind::Value, "Arrow PyCapsule holds an already released struct");
  // Moving a C data interface struct: copy it and mark the source released.
  *out = *source;
  source->release = nullptr;
}

}  // namespace

Ref schema_capsule(std::unique_ptr<ArrowSchema> schema) { return make_capsule<ArrowSchema, kSchemaName>(std::move(schema)); }
Ref array_capsule(std::unique_ptr<ArrowArray> array) { return make_capsule<ArrowArray, kArrayName>(std::move(array)); }
Ref stream_capsule(std::unique_ptr<ArrowArrayStream> stream) {
  return make_capsule<ArrowArrayStream, kStreamName>(std::move(stream));
}

void take_schema(PyObject* capsule, ArrowSchema* out) { take(capsule, kSchemaName, out); }
void take_array(PyObject* capsule, ArrowArray* out) { take(capsule, kArrayName, out); }
void take_stream(PyObject* capsule, ArrowArrayStream* out) { take(capsule, kStreamName, out); }

Ref array_capsule_pair(std::unique_ptr<ArrowSchema> schema, std::unique_ptr<ArrowArray> array) {
  Ref s = schema_capsule(std::move(schema));
  Ref a = array_capsule(std::move(array));
  return to_py_tuple(std::move(s), std::move(a));
}

}  // namespace simsieve::py
