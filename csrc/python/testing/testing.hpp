// Declarations of the per-area function adders of the private simsieve._testing module.
// Each area (gestalt, pool, ...) defines `int add_<area>_functions(PyObject* module)` in
// csrc/python/testing/<area>_testing.cpp and lists it in testing_module.cpp.
#pragma once

#include <Python.h>

#define SIMSIEVE_TEST_ENTRY(name, fn) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_VARARGS | METH_KEYWORDS, nullptr }

namespace simsieve::py::testing {

int add_frame_functions(PyObject* module);
int add_gestalt_functions(PyObject* module);
int add_cluster_functions(PyObject* module);
int add_pool_functions(PyObject* module);
int add_cosine_functions(PyObject* module);
int add_columns_functions(PyObject* module);

}  // namespace simsieve::py::testing
