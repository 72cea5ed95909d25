// simsieve._testing: a private module of thin wrappers over core internals, for the test suite
// only (not re-exported). Each area adds its functions in csrc/python/testing/.
#include <Python.h>

#include "python/errors.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

// One adder per area; each calls PyModule_AddFunctions with its own table.
using Adder = int (*)(PyObject* module);
const Adder adders[] = {
    add_frame_functions,
    add_gestalt_functions,
    add_cluster_functions,
    add_pool_functions,
    add_cosine_functions,
    add_columns_functions,
};

int exec_module(PyObject* module) {
  // Failures raised here must be the package's own PanicException.
  PyObject* native = PyImport_ImportModule("simsieve._simsieve");
  if (!native) return -1;
  PyObject* panic = PyObject_GetAttrString(native, "PanicException");
  Py_DECREF(native);
  if (!panic) return -1;
  adopt_panic_exception_type(panic);
  Py_DECREF(panic);
  for (Adder add : adders) {
    if (add && add(module) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_testing", "Private test hooks of simsieve; not a public API.", 0, nullptr,
    module_slots,          nullptr,    nullptr,                                            nullptr,
};

}  // namespace
}  // namespace simsieve::py::testing

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__testing(void) {
  return PyModuleDef_Init(&simsieve::py::testing::module_def);
}
