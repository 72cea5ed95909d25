// FloatArray: the read-only float result column of the module. A heap type holding C-contiguous
// float64 ("d") or float32 ("f") values in one or two dimensions, shared out without a copy
// through the buffer protocol (numpy.asarray, memoryview) and, for a 1-D float64 array, the
// Arrow PyCapsule interface (`__arrow_c_array__`: pyarrow, polars). Its values are never written
// after construction, so every export stays valid for as long as its consumer holds it.
#pragma once

#include <Python.h>

#include <vector>

namespace simsieve::py {

// A new FloatArray (new reference) holding `values` with the given shape (one or two extents
// whose product is values.size()); nullptr with an exception set on failure. `module` is the
// _simsieve module or any object of it; the type is the one registered by add_float_array_class.
PyObject* make_float_array(PyObject* module, std::vector<double> values, std::vector<Py_ssize_t> shape);
PyObject* make_float_array_f32(PyObject* module, std::vector<float> values, std::vector<Py_ssize_t> shape);

// Creates the FloatArray type and adds it to the module (0, or -1 with an exception set).
int add_float_array_class(PyObject* module);
// Makes this library build instances of an existing FloatArray type (a module linked separately
// from _simsieve, such as the test module, shares _simsieve's type).
void adopt_float_array_type(PyObject* type);

}  // namespace simsieve::py
