#include "python/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "python/pyref.hpp"

namespace simsieve::py {
namespace {

constexpr const char* kPanicName = "simsieve.PanicException";
constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails.\n\n"
    "Like `SystemExit`, it derives from `BaseException` (not `Exception`), so that it propagates "
    "through ordinary `except Exception` handlers.";
constexpr const char* kGenericPanicMessage = "internal failure in native code (no message)";

// The class lives for the whole process: it is created once and never released.
PyObject* g_panic_type = nullptr;

// PyErr_Fetch/PyErr_Restore are the limited-API way (up to 3.11) to move a pending exception.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct FetchedError {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  FetchedError() {
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
  }
  ~FetchedError() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
  }
};
#pragma GCC diagnostic pop

}  // namespace

void throw_type_error(PyObject* message) {
  Ref owned(message);
  if (owned) PyErr_SetObject(PyExc_TypeError, owned.get());
  throw PythonError{};
}

void throw_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

void throw_if_error_set() {
  if (PyErr_Occurred()) throw PythonError{};
}

PyObject* panic_exception_type() {
  // Only ever called with the interpreter lock held, which serialises the first creation.
  if (!g_panic_type) {
    g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (!g_panic_type) return nullptr;
  }
  Py_INCREF(g_panic_type);
  return g_panic_type;
}

void adopt_panic_exception_type(PyObject* type) {
  if (g_panic_type) return;
  Py_INCREF(type);
  g_panic_type = type;
}

void raise_panic(const char* message) noexcept {
  try {
    Ref type(panic_exception_type());
    if (!type) return;  // creation failed; its error is pending
    Ref text(PyUnicode_FromString(message && *message ? message : kGenericPanicMessage));
    if (!text) return;
    PyErr_SetObject(type.get(), text.get());
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void prefix_type_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  FetchedError original;
  Ref message(PyObject_Str(original.value));
  if (!message) return;  // the error from str() replaces the original
  Ref text(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  Py_INCREF(original.value);
  PyException_SetCause(replacement.get(), original.value);  // steals the new reference
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace simsieve::py
