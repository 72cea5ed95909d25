#include "python/float_array.hpp"

#include <array>
#include <memory>
#include <new>
#include <utility>

#include "columns/export.hpp"
#include "python/arrow_capsule.hpp"
#include "python/build.hpp"
#include "python/frame.hpp"

namespace simsieve::py {
namespace {

const char float_array_doc[] =
    "A read-only column (or matrix) of floats computed by simsieve.\n\n"
    "It exports its values without a copy through the buffer protocol (`numpy.asarray(x)`, "
    "`memoryview(x)`) and, when one-dimensional float64, through the Arrow PyCapsule interface "
    "(`pyarrow.array(x)`, `polars.Series(x)`). `len(x)` is its first extent and `x.tolist()` "
    "gives the values as Python floats.";

struct FloatArrayObject {
  PyObject_HEAD
  std::shared_ptr<const void> owner;  // the values
  const void* data;
  char format[2];
  Py_ssize_t itemsize;
  int ndim;
  std::array<Py_ssize_t, 2> shape;
  std::array<Py_ssize_t, 2> strides;
  Py_ssize_t count;
};

// The type, held for the life of the process once the module has been executed.
PyObject* float_array_type = nullptr;

FloatArrayObject* as_array(PyObject* self) { return reinterpret_cast<FloatArrayObject*>(self); }

template <class T>
PyObject* make(std::vector<T> values, std::vector<Py_ssize_t> shape, char format) {
  return call_frame([&]() -> PyObject* {
    if (!float_array_type) throw_error(PyExc_RuntimeError, "the FloatArray type is not initialised");
    if (shape.empty() || shape.size() > 2) throw_error(PyExc_ValueError, "a FloatArray has one or two dimensions");
    Py_ssize_t count = 1;
    for (Py_ssize_t extent : shape) {
      if (extent < 0) throw_error(PyExc_ValueError, "negative FloatArray extent");
      count *= extent;
    }
    if (static_cast<size_t>(count) != values.size())
      throw_error(PyExc_ValueError, "FloatArray shape does not match the number of values");
    auto owned = std::make_shared<const std::vector<T>>(std::move(values));
    auto* type = reinterpret_cast<PyTypeObject*>(float_array_type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) throw PythonError{};
    FloatArrayObject* a = as_array(self);
    new (&a->owner) std::shared_ptr<const void>(owned);
    a->data = owned->data();
    a->format[0] = format;
    a->format[1] = '\0';
    a->itemsize = static_cast<Py_ssize_t>(sizeof(T));
    a->ndim = static_cast<int>(shape.size());
    a->shape = {shape[0], shape.size() > 1 ? shape[1] : 1};
    a->strides = {a->itemsize * (shape.size() > 1 ? shape[1] : 1), a->itemsize};
    if (a->ndim == 1) a->strides[0] = a->itemsize;
    a->count = count;
    return self;
  });
}

void float_array_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_array(self)->owner.~shared_ptr();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

int float_array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "FloatArray is read-only");
    view->obj = nullptr;
    return -1;
  }
  FloatArrayObject* a = as_array(self);
  static const char empty_byte = 0;
  view->buf = const_cast<void*>(a->count > 0 ? a->data : static_cast<const void*>(&empty_byte));
  view->obj = Py_NewRef(self);
  view->len = a->count * a->itemsize;
  view->readonly = 1;
  view->itemsize = a->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? a->format : nullptr;
  view->ndim = a->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? a->shape.data() : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? a->strides.data() : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

Py_ssize_t float_array_len(PyObject* self) { return as_array(self)->shape[0]; }

double value_at(const FloatArrayObject* a, Py_ssize_t k) {
  if (a->format[0] == 'd') return static_cast<const double*>(a->data)[k];
  return static_cast<double>(static_cast<const float*>(a->data)[k]);
}

PyObject* float_array_tolist(PyObject* self, PyObject*) {
  return call_frame([&]() -> PyObject* {
    const FloatArrayObject* a = as_array(self);
    auto row = [&](Py_ssize_t first, Py_ssize_t n) {
      Ref list = checked(PyList_New(n));
      for (Py_ssize_t k = 0; k < n; ++k) PyList_SetItem(list.get(), k, to_py(value_at(a, first + k)).release());
      return list;
    };
    if (a->ndim == 1) return row(0, a->shape[0]).release();
    Ref rows = checked(PyList_New(a->shape[0]));
    for (Py_ssize_t r = 0; r < a->shape[0]; ++r) PyList_SetItem(rows.get(), r, row(r * a->shape[1], a->shape[1]).release());
    return rows.release();
  });
}

constexpr Signature<1> kArrowArray{"FloatArray.__arrow_c_array__()", {"requested_schema"}, 0};

PyObject* float_array_arrow_c_array(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    kArrowArray.bind(args, kwargs);  // a requested schema is a hint; the values stay float64
    const FloatArrayObject* a = as_array(self);
    if (a->ndim != 1 || a->format[0] != 'd')
      throw_error(PyExc_TypeError, "only a one-dimensional float64 FloatArray exports an Arrow array");
    columns::OutputColumn column;
    column.format = "g";
    column.owner = a->owner;
    column.data = a->data;
    column.length = a->shape[0];
    auto schema = std::make_unique<ArrowSchema>();
    auto array = std::make_unique<ArrowArray>();
    schema->release = nullptr;
    array->release = nullptr;
    columns::export_column(column, schema.get(), array.get());
    return array_capsule_pair(std::move(schema), std::move(array)).release();
  });
}

PyObject* float_array_shape(PyObject* self, void*) {
  return call_frame([&]() -> PyObject* {
    const FloatArrayObject* a = as_array(self);
    if (a->ndim == 1) return to_py_tuple(to_py(static_cast<uint64_t>(a->shape[0]))).release();
    return to_py_tuple(to_py(static_cast<uint64_t>(a->shape[0])), to_py(static_cast<uint64_t>(a->shape[1]))).release();
  });
}

PyObject* float_array_format(PyObject* self, void*) { return PyUnicode_FromString(as_array(self)->format); }

PyObject* float_array_repr(PyObject* self) {
  const FloatArrayObject* a = as_array(self);
  if (a->ndim == 1) return PyUnicode_FromFormat("FloatArray(len=%zd, format='%s')", a->shape[0], a->format);
  return PyUnicode_FromFormat("FloatArray(shape=(%zd, %zd), format='%s')", a->shape[0], a->shape[1], a->format);
}

PyMethodDef float_array_methods[] = {
    {"tolist", float_array_tolist, METH_NOARGS, "tolist()\n--\n\nThe values as a list of floats (a list of rows for a matrix)."},
    {"__arrow_c_array__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(float_array_arrow_c_array)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_array__($self, requested_schema=None)\n--\n\n"
     "Export a one-dimensional float64 array as Arrow (schema, array) PyCapsules, without a copy."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef float_array_getset[] = {
    {"shape", float_array_shape, nullptr, "The extents, as a tuple of one or two ints.", nullptr},
    {"format", float_array_format, nullptr, "The buffer format of the values: \"d\" (float64) or \"f\" (float32).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot float_array_slots[] = {
    {Py_tp_doc, const_cast<char*>(float_array_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(float_array_dealloc)},
    {Py_tp_methods, float_array_methods},
    {Py_tp_getset, float_array_getset},
    {Py_tp_repr, reinterpret_cast<void*>(float_array_repr)},
    {Py_sq_length, reinterpret_cast<void*>(float_array_len)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(float_array_getbuffer)},
    {0, nullptr},
};

PyType_Spec float_array_spec = {
    "simsieve.FloatArray",
    static_cast<int>(sizeof(FloatArrayObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    float_array_slots,
};

}  // namespace

PyObject* make_float_array(PyObject*, std::vector<double> values, std::vector<Py_ssize_t> shape) {
  return make(std::move(values), std::move(shape), 'd');
}

PyObject* make_float_array_f32(PyObject*, std::vector<float> values, std::vector<Py_ssize_t> shape) {
  return make(std::move(values), std::move(shape), 'f');
}

int add_float_array_class(PyObject* module) {
  if (!float_array_type) {
    float_array_type = PyType_FromSpec(&float_array_spec);
    if (!float_array_type) return -1;
  }
  if (PyModule_AddObject(module, "FloatArray", Py_NewRef(float_array_type)) < 0) {
    Py_DECREF(float_array_type);
    return -1;
  }
  return 0;
}

void adopt_float_array_type(PyObject* type) {
  if (!float_array_type) float_array_type = Py_NewRef(type);
}

}  // namespace simsieve::py
