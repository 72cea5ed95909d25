// FloatArray: a read-only, C-contiguous array of float64 ("d") or float32 ("f") values, 1-D or
// 2-D, that exposes the buffer protocol (numpy and memoryview take it without a copy), its length
// and tolist(). Results of native computations are handed to Python in it.
#pragma once

#include <Python.h>

#include <vector>

namespace simsieve::py {

// Adds the FloatArray class to the module (0, or -1 with an exception set).
int add_float_array_class(PyObject* module);

// A new FloatArray of the module's class holding `values` (moved, not copied) with the given
// shape (1 or 2 dimensions whose product is values.size()); nullptr with an exception set.
PyObject* make_float_array(PyObject* module, std::vector<double> values, std::vector<Py_ssize_t> shape);
PyObject* make_float32_array(PyObject* module, std::vector<float> values, std::vector<Py_ssize_t> shape);

}  // namespace simsieve::py
