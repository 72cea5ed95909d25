// How failures cross the binding layer: PythonError marks "a Python exception is already set";
// PanicException is the BaseException subclass that carries internal failures of the core.
#pragma once

#include <Python.h>

namespace simsieve::py {

// Thrown inside the binding layer once a Python exception has been set; the call frame turns it
// into a NULL return. Carries nothing: the pending exception is the payload.
struct PythonError {};

// Sets a Python exception (via PyErr_SetObject-style helpers) and throws PythonError.
[[noreturn]] void throw_type_error(PyObject* message);
[[noreturn]] void throw_error(PyObject* type, const char* message);
// Throws PythonError if a Python exception is pending, otherwise returns.
void throw_if_error_set();

// The PanicException class (a new reference), created on first use; nullptr with an exception set
// if it cannot be created.
PyObject* panic_exception_type();
// Makes this library raise an existing PanicException class (a module linked separately from
// _simsieve, such as the test module, shares _simsieve's class instead of creating its own).
void adopt_panic_exception_type(PyObject* type);
// Raises PanicException with the given message (a generic text when message is null or empty).
void raise_panic(const char* message) noexcept;

// Replaces a pending TypeError by TypeError("argument 'NAME': <message>") whose cause is the
// original error. Any other pending exception is left as it is.
void prefix_type_error(const char* name) noexcept;

}  // namespace simsieve::py
