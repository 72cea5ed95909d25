// simsieve._testing: a private module of thin wrappers over core internals, for the test suite
// only (not re-exported). Each area adds its functions in csrc/python/testing/.
#include <Python.h>

#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

// One adder per area; each calls PyModule_AddFunctions with its own table.
using Adder = int (*)(PyObject* module);
const Adder adders[] = {
    nullptr,
};

int exec_module(PyObject* module) {
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
