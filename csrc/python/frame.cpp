#include "python/frame.hpp"

#include <string>

#include "python/pyref.hpp"

namespace simsieve::py::detail {
namespace {

[[noreturn]] void binding_error(PyObject* message) { throw_type_error(message); }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string join_names(const char* const* names, const size_t* picked, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
    out += '\'';
    out += names[picked[i]];
    out += '\'';
  }
  return out;
}

[[noreturn]] void too_many_positional(const char* display, size_t count, size_t required, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (required == count) {
    binding_error(PyUnicode_FromFormat("%s takes %zu positional arguments but %zd %s given",
                                       display, count, given, verb));
  }
  binding_error(PyUnicode_FromFormat("%s takes from %zu to %zu positional arguments but %zd %s given",
                                     display, required, count, given, verb));
}

// Puts one keyword argument into its parameter's slot.
void bind_keyword(const char* display, const char* const* names, size_t count, PyObject* key, PyObject* value,
                  PyObject** slots) {
  size_t index = count;
  if (PyUnicode_Check(key)) {
    for (size_t p = 0; p < count; ++p) {
      if (PyUnicode_CompareWithASCIIString(key, names[p]) == 0) {
        index = p;
        break;
      }
    }
  }
  if (index == count) {
    binding_error(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", display, key));
  }
  if (slots[index]) {
    binding_error(PyUnicode_FromFormat("%s got multiple values for argument '%s'", display, names[index]));
  }
  slots[index] = value;
}

void check_required(const char* display, const char* const* names, size_t required, PyObject** slots) {
  size_t missing[64];
  size_t n_missing = 0;
  for (size_t p = 0; p < required && p < 64; ++p) {
    if (!slots[p]) missing[n_missing++] = p;
  }
  if (n_missing > 0) {
    std::string list = join_names(names, missing, n_missing);
    binding_error(PyUnicode_FromFormat("%s missing %zu required positional argument%s: %s", display,
                                       n_missing, n_missing == 1 ? "" : "s", list.c_str()));
  }
}

}  // namespace

void bind_fast_arguments(const char* display, const char* const* names, size_t count, size_t required,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  if (static_cast<size_t>(nargs) > count) too_many_positional(display, count, required, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames) {
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    if (nk < 0) throw PythonError{};
    for (Py_ssize_t k = 0; k < nk; ++k) {
      bind_keyword(display, names, count, PyTuple_GetItem(kwnames, k), args[nargs + k], slots);
    }
  }
  check_required(display, names, required, slots);
}

void bind_arguments(const char* display, const char* const* names, size_t count, size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given < 0) throw PythonError{};
  if (static_cast<size_t>(given) > count) too_many_positional(display, count, required, given);
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(display, names, count, key, value, slots);
  }
  check_required(display, names, required, slots);
}

}  // namespace simsieve::py::detail
