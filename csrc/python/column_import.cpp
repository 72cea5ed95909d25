#include "python/column_import.hpp"

#include <string>
#include <utility>
#include <vector>

#include "python/arrow_capsule.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"

namespace simsieve::py {
namespace {

// obj.method() if obj has the method, else an empty Ref (no error pending).
Ref call_if_present(PyObject* obj, const char* method) {
  Ref bound(PyObject_GetAttrString(obj, method));
  if (!bound) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    return Ref();
  }
  Ref result(PyObject_CallNoArgs(bound.get()));
  if (!result) throw PythonError{};
  return result;
}

// Releases imported structs while an error is pending, without losing that error.
class KeepError {
 public:
  KeepError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~KeepError() { PyErr_Restore(type_, value_, traceback_); }
  KeepError(const KeepError&) = delete;
  KeepError& operator=(const KeepError&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

columns::StreamContents take_contents_or_release(PyObject* obj, columns::StreamContents& contents);

columns::StreamContents take_contents(PyObject* obj) {
  columns::StreamContents contents;
  try {
    return take_contents_or_release(obj, contents);
  } catch (const PythonError&) {
    KeepError keep;
    contents = {};
    throw;
  }
}

columns::StreamContents take_contents_or_release(PyObject* obj, columns::StreamContents& contents) {
  if (Ref capsule = call_if_present(obj, "__arrow_c_stream__")) {
    ArrowArrayStream raw{};
    take_stream(capsule.get(), &raw);
    return columns::read_stream(columns::OwnedStream(&raw));
  }
  Ref pair = call_if_present(obj, "__arrow_c_array__");
  if (!pair) throw_error(PyExc_TypeError, "object exports no Arrow data");
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2)
    throw_error(PyExc_TypeError, "__arrow_c_array__ must return a (schema, array) tuple of PyCapsules");
  ArrowSchema raw_schema{};
  take_schema(PyTuple_GetItem(pair.get(), 0), &raw_schema);
  contents.schema = columns::OwnedSchema(&raw_schema);
  ArrowArray raw_array{};
  take_array(PyTuple_GetItem(pair.get(), 1), &raw_array);
  contents.batches.emplace_back(&raw_array);
  return std::move(contents);
}

[[noreturn]] void raise_named(PyObject* type, const char* name, const std::string& message) {
  Ref text(PyUnicode_FromFormat("argument '%s': %s", name, message.c_str()));
  if (text) PyErr_SetObject(type, text.get());
  throw PythonError{};
}

}  // namespace

bool exports_arrow(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyList_Check(obj) || PyTuple_Check(obj)) return false;
  return PyObject_HasAttrString(obj, "__arrow_c_stream__") || PyObject_HasAttrString(obj, "__arrow_c_array__");
}

columns::ImportedColumn import_column(const char* name, PyObject* obj, bool lists, columns::Nulls nulls) {
  std::string problem;
  PyObject* problem_type = PyExc_ValueError;
  try {
    columns::StreamContents contents = arg(name, obj, take_contents);
    // The checks read every offset and every byte: the lock is not needed for that. A column
    // that fails them is released before the error is raised.
    auto [column, fault] = without_gil([&] {
      columns::ImportedColumn imported(std::move(contents.schema), std::move(contents.batches));
      std::optional<columns::StringFault> first;
      if (imported.type().lists == lists) first = imported.first_fault(nulls);
      return std::pair{std::move(imported), first};
    });
    if (column.type().lists != lists) {
      problem_type = PyExc_TypeError;
      problem = lists ? "expected an Arrow column of string lists, got a column of strings"
                      : "expected an Arrow column of strings, got a column of string lists";
    } else if (fault) {
      const bool null = fault->kind == columns::StringFault::Kind::Null;
      problem = "item " + std::to_string(fault->index) + (null ? " is null" : " is not valid UTF-8");
    } else {
      return std::move(column);
    }
  } catch (const columns::ColumnError& error) {
    problem_type = error.kind == columns::ColumnError::Kind::Type ? PyExc_TypeError : PyExc_ValueError;
    problem = error.what();
  }
  raise_named(problem_type, name, problem);
}

std::optional<columns::ImportedColumn> import_column_if_exported(const char* name, PyObject* obj, bool lists,
                                                                 columns::Nulls nulls) {
  if (!exports_arrow(obj)) return std::nullopt;
  try {
    return import_column(name, obj, lists, nulls);
  } catch (const PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError) || !PySequence_Check(obj)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

void release_column(std::optional<columns::ImportedColumn>& column) noexcept {
  if (!column) return;
  if (!PyErr_Occurred()) {
    column.reset();
    return;
  }
  KeepError keep;
  column.reset();
}

}  // namespace simsieve::py
