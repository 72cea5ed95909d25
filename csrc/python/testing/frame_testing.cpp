// Test hooks for the call frame: failures of every kind raised from inside the core with the
// interpreter lock released, to check how they reach Python.
#include <new>
#include <string>

#include "common/internal_error.hpp"
#include "python/build.hpp"
#include "python/convert.hpp"
#include "python/frame.hpp"
#include "python/testing/testing.hpp"

namespace simsieve::py::testing {
namespace {

constexpr Signature<1> kFail{"fail_in_core()", {"kind"}, 1};

// fail_in_core(kind): "internal" raises InternalError("broken invariant"), "empty" an
// InternalError without text, "alloc" std::bad_alloc, "other" a non-standard exception; each
// with the interpreter lock released. Any other kind returns the kind unchanged.
PyObject* fail_in_core(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_frame([&]() -> PyObject* {
    auto bound = kFail.bind(args, kwargs);
    std::string kind = arg("kind", bound[0], to_string);
    without_gil([&] {
      if (kind == "internal") internal_failure("broken invariant");
      if (kind == "empty") internal_failure("");
      if (kind == "alloc") throw std::bad_alloc();
      if (kind == "other") throw 42;
    });
    return checked(PyUnicode_FromStringAndSize(kind.data(), static_cast<Py_ssize_t>(kind.size()))).release();
  });
}

PyMethodDef frame_functions[] = {
    SIMSIEVE_TEST_ENTRY("fail_in_core", fail_in_core),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_frame_functions(PyObject* module) { return PyModule_AddFunctions(module, frame_functions); }

}  // namespace simsieve::py::testing
