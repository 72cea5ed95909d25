#include "python/float_array.hpp"

#include <cstddef>
#include <memory>
#include <utility>

#include "python/pyref.hpp"

namespace simsieve::py {
namespace {

// The storage behind one FloatArray object; the Python object holds a pointer to it.
struct FloatStorage {
  std::vector<double> f64;
  std::vector<float> f32;
  bool is_f32 = false;
  Py_ssize_t shape[2] = {0, 0};
  Py_ssize_t strides[2] = {0, 0};
  int ndim = 1;

  Py_ssize_t itemsize() const { return is_f32 ? Py_ssize_t{sizeof(float)} : Py_ssize_t{sizeof(double)}; }
  Py_ssize_t count() const { return is_f32 ? static_cast<Py_ssize_t>(f32.size()) : static_cast<Py_ssize_t>(f64.size()); }
  void* data() { return is_f32 ? static_cast<void*>(f32.data()) : static_cast<void*>(f64.data()); }
  double at(Py_ssize_t i) const { return is_f32 ? static_cast<double>(f32[i]) : f64[i]; }
};

struct FloatArrayObject {
  PyObject ob_base;
  FloatStorage* storage;
};

FloatStorage* storage_of(PyObject* self) { return reinterpret_cast<FloatArrayObject*>(self)->storage; }

void float_array_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // The object owns its storage from make_array on.
  std::unique_ptr<FloatStorage> owned(std::exchange(reinterpret_cast<FloatArrayObject*>(self)->storage, nullptr));
  owned.reset();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

int float_array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  FloatStorage* s = storage_of(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "FloatArray is read-only");
    view->obj = nullptr;
    return -1;
  }
  view->buf = s->data();
  view->obj = Py_NewRef(self);
  view->len = s->count() * s->itemsize();
  view->readonly = 1;
  view->itemsize = s->itemsize();
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(s->is_f32 ? "f" : "d") : nullptr;
  view->ndim = s->ndim;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? s->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? s->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void float_array_releasebuffer(PyObject*, Py_buffer*) {}

Py_ssize_t float_array_len(PyObject* self) { return storage_of(self)->shape[0]; }

PyObject* float_array_tolist(PyObject* self, PyObject*) {
  FloatStorage* s = storage_of(self);
  auto row_list = [&](Py_ssize_t start, Py_ssize_t n) -> PyObject* {
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* v = PyFloat_FromDouble(s->at(start + i));
      if (!v || PyList_SetItem(list.get(), i, v) < 0) return nullptr;
    }
    return list.release();
  };
  if (s->ndim == 1) return row_list(0, s->shape[0]);
  Ref rows(PyList_New(s->shape[0]));
  if (!rows) return nullptr;
  for (Py_ssize_t r = 0; r < s->shape[0]; ++r) {
    PyObject* row = row_list(r * s->shape[1], s->shape[1]);
    if (!row || PyList_SetItem(rows.get(), r, row) < 0) return nullptr;
  }
  return rows.release();
}

PyMethodDef float_array_methods[] = {
    {"tolist", float_array_tolist, METH_NOARGS, "tolist($self, /)\n--\n\nThe values as (nested) lists of floats."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot float_array_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(float_array_dealloc)},
    {Py_tp_methods, float_array_methods},
    {Py_tp_doc, const_cast<char*>("A read-only C-contiguous array of floats (float64 or float32, 1-D or 2-D) "
                                  "exposing the buffer protocol: numpy.asarray() and memoryview() use it "
                                  "without a copy.")},
    {Py_bf_getbuffer, reinterpret_cast<void*>(float_array_getbuffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(float_array_releasebuffer)},
    {Py_sq_length, reinterpret_cast<void*>(float_array_len)},
    {Py_mp_length, reinterpret_cast<void*>(float_array_len)},
    {0, nullptr},
};

PyType_Spec float_array_spec = {
    "_simsieve.FloatArray",
    sizeof(FloatArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    float_array_slots,
};

PyObject* make_array(PyObject* module, std::unique_ptr<FloatStorage> storage, const std::vector<Py_ssize_t>& shape) {
  if (shape.empty() || shape.size() > 2) {
    PyErr_SetString(PyExc_SystemError, "FloatArray takes 1 or 2 dimensions");
    return nullptr;
  }
  Py_ssize_t product = 1;
  for (Py_ssize_t d : shape) product *= d;
  if (product != storage->count()) {
    PyErr_SetString(PyExc_SystemError, "FloatArray shape does not match its values");
    return nullptr;
  }
  storage->ndim = static_cast<int>(shape.size());
  storage->shape[0] = shape[0];
  storage->shape[1] = shape.size() == 2 ? shape[1] : 0;
  storage->strides[0] = storage->itemsize() * (shape.size() == 2 ? shape[1] : 1);
  storage->strides[1] = storage->itemsize();
  Ref type(PyObject_GetAttrString(module, "FloatArray"));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (!self) return nullptr;
  reinterpret_cast<FloatArrayObject*>(self)->storage = storage.release();
  return self;
}

}  // namespace

int add_float_array_class(PyObject* module) {
  PyObject* type = PyType_FromSpec(&float_array_spec);
  if (!type) return -1;
  if (PyModule_AddObject(module, "FloatArray", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

PyObject* make_float_array(PyObject* module, std::vector<double> values, std::vector<Py_ssize_t> shape) {
  auto s = std::make_unique<FloatStorage>();
  s->f64 = std::move(values);
  return make_array(module, std::move(s), shape);
}

PyObject* make_float32_array(PyObject* module, std::vector<float> values, std::vector<Py_ssize_t> shape) {
  auto s = std::make_unique<FloatStorage>();
  s->f32 = std::move(values);
  s->is_f32 = true;
  return make_array(module, std::move(s), shape);
}

}  // namespace simsieve::py
