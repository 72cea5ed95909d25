// Test hooks of the columns area: building FloatArrays of any shape and counting the Arrow
// structs exported and not yet released.
#include <vector>

#include <memory>

#include "columns/export.hpp"
#include "python/arrow_capsule.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/float_array.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<3> kFloatArray{"float_array()", {"values", "shape", "f32"}, 2};

PyObject* float_array(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFloatArray.bind(args, kwargs);
    std::vector<double> values = to_vector(bound[0], to_real);
    std::vector<Py_ssize_t> shape;
    for (uint64_t extent : to_vector(bound[1], to_count)) shape.push_back(static_cast<Py_ssize_t>(extent));
    const bool f32 = bound[2] && PyObject_IsTrue(bound[2]) == 1;
    if (f32) return make_float_array_f32(module, std::vector<float>(values.begin(), values.end()), shape);
    return make_float_array(module, std::move(values), shape);
  });
}

// The export code of this module's own copy of the core, whose counter live_exports reads:
// (schema, array) capsules of a float64 column, and a one-batch stream of a two-column table.
PyObject* export_column_capsules(PyObject*, PyObject* args, PyObject*) {
  return call_frame([&]() -> PyObject* {
    PyObject* values_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &values_obj)) throw PythonError{};
    auto values = std::make_shared<const std::vector<double>>(to_vector(values_obj, to_real));
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    columns::export_column(columns::output_column<double>("values", values), schema.get(), array.get());
    return array_capsule_pair(std::move(schema), std::move(array)).release();
  });
}

PyObject* export_table_stream(PyObject*, PyObject* args, PyObject*) {
  return call_frame([&]() -> PyObject* {
    PyObject* values_obj = nullptr;
    if (!PyArg_ParseTuple(args, "O", &values_obj)) throw PythonError{};
    auto values = std::make_shared<const std::vector<double>>(to_vector(values_obj, to_real));
    auto index = std::make_shared<std::vector<int64_t>>();
    for (size_t k = 0; k < values->size(); ++k) index->push_back(static_cast<int64_t>(k));
    auto table = std::make_shared<columns::OutputTable>();
    table->rows = static_cast<int64_t>(values->size());
    table->columns.push_back(columns::output_column<int64_t>("index", std::move(index)));
    table->columns.push_back(columns::output_column<double>("value", values));
    auto stream = std::make_unique<ArrowArrayStream>();
    columns::export_stream(std::move(table), stream.get());
    return stream_capsule(std::move(stream)).release();
  });
}

PyObject* live_exports(PyObject*, PyObject*, PyObject*) {
  return call_frame([&]() -> PyObject* { return checked(PyLong_FromLongLong(columns::live_exports())).release(); });
}

PyMethodDef functions[] = {
    SIMSIEVE_TEST_ENTRY("float_array", float_array),
    SIMSIEVE_TEST_ENTRY("live_exports", live_exports),
    SIMSIEVE_TEST_ENTRY("export_column_capsules", export_column_capsules),
    SIMSIEVE_TEST_ENTRY("export_table_stream", export_table_stream),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_columns_functions(PyObject* module) {
  PyObject* native = PyImport_ImportModule("simsieve._simsieve");
  if (!native) return -1;
  PyObject* type = PyObject_GetAttrString(native, "FloatArray");
  Py_DECREF(native);
  if (!type) return -1;
  adopt_float_array_type(type);
  Py_DECREF(type);
  return PyModule_AddFunctions(module, functions);
}

}  // namespace simsieve::py::testing
