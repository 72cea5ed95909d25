#include "python/arrow_table.hpp"

#include <new>
#include <utility>

#include "python/arrow_capsule.hpp"
#include "python/build.hpp"
#include "python/frame.hpp"

namespace simsieve::py {
namespace {

const char arrow_table_doc[] =
    "A simsieve result as one Arrow record batch, exported without a copy through the Arrow "
    "PyCapsule interface: `pyarrow.table(x)`, `polars.DataFrame(x)`, `pyarrow.record_batch(x)`. "
    "`len(x)` is its number of rows and `x.column_names` the names of its columns.";

struct ArrowTableObject {
  PyObject_HEAD
  std::shared_ptr<const columns::OutputTable> table;
};

PyObject* arrow_table_type = nullptr;  // held for the life of the process

ArrowTableObject* as_table(PyObject* self) { return reinterpret_cast<ArrowTableObject*>(self); }

void arrow_table_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_table(self)->table.~shared_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

Py_ssize_t arrow_table_len(PyObject* self) { return static_cast<Py_ssize_t>(as_table(self)->table->rows); }

constexpr Signature<1> kStream{"ArrowTable.__arrow_c_stream__()", {"requested_schema"}, 0};
constexpr Signature<1> kArray{"ArrowTable.__arrow_c_array__()", {"requested_schema"}, 0};

PyObject* arrow_table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    kStream.bind(args, kwargs);  // a requested schema is a hint; the columns keep their types
    auto stream = std::make_unique<ArrowArrayStream>();
    columns::export_stream(as_table(self)->table, stream.get());
    return stream_capsule(std::move(stream)).release();
  });
}

PyObject* arrow_table_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    kArray.bind(args, kwargs);
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    schema->release = nullptr;
    array->release = nullptr;
    columns::export_table(as_table(self)->table, schema.get(), array.get());
    return array_capsule_pair(std::move(schema), std::move(array)).release();
  });
}

PyObject* arrow_table_column_names(PyObject* self, void*) {
  return call_frame([&]() -> PyObject* {
    const auto& cols = as_table(self)->table->columns;
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(cols.size())));
    for (size_t k = 0; k < cols.size(); ++k)
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), checked(PyUnicode_FromString(cols[k].name.c_str())).release());
    return list.release();
  });
}

PyObject* arrow_table_repr(PyObject* self) {
  return PyUnicode_FromFormat("ArrowTable(rows=%zd)", arrow_table_len(self));
}

PyMethodDef arrow_table_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(arrow_table_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nExport as an Arrow stream of one record batch."},
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(arrow_table_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\nExport as Arrow (schema, struct array) PyCapsules."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef arrow_table_getset[] = {
    {"column_names", arrow_table_column_names, nullptr, "The names of the columns.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot arrow_table_slots[] = {
    {Py_tp_doc, const_cast<char*>(arrow_table_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(arrow_table_dealloc)},
    {Py_tp_methods, arrow_table_methods},
    {Py_tp_getset, arrow_table_getset},
    {Py_tp_repr, reinterpret_cast<void*>(arrow_table_repr)},
    {Py_sq_length, reinterpret_cast<void*>(arrow_table_len)},
    {0, nullptr},
};

PyType_Spec arrow_table_spec = {
    "simsieve.ArrowTable",
    static_cast<int>(sizeof(ArrowTableObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    arrow_table_slots,
};

}  // namespace

Ref make_arrow_table(std::shared_ptr<const columns::OutputTable> table) {
  if (!arrow_table_type) throw_error(PyExc_RuntimeError, "the ArrowTable type is not initialised");
  auto* type = reinterpret_cast<PyTypeObject*>(arrow_table_type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) throw PythonError{};
  new (&as_table(self)->table) std::shared_ptr<const columns::OutputTable>(std::move(table));
  return Ref(self);
}

std::shared_ptr<const columns::OutputTable> arrow_table_of(PyObject* obj) {
  if (!arrow_table_type || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(arrow_table_type))) return nullptr;
  return as_table(obj)->table;
}

int add_arrow_table_class(PyObject* module) {
  if (!arrow_table_type) {
    arrow_table_type = PyType_FromSpec(&arrow_table_spec);
    if (!arrow_table_type) return -1;
  }
  if (PyModule_AddObject(module, "ArrowTable", Py_NewRef(arrow_table_type)) < 0) {
    Py_DECREF(arrow_table_type);
    return -1;
  }
  return 0;
}

}  // namespace simsieve::py
