// Building Python results from C++ values, after the interpreter lock is back. Each builder
// returns a new reference or throws PythonError with the interpreter's error set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "common/internal_error.hpp"
#include "python/errors.hpp"
#include "python/pyref.hpp"

namespace simsieve::py {

inline Ref checked(PyObject* obj) {
  if (!obj) throw PythonError{};
  return Ref(obj);
}

inline Ref to_py(double value) { return checked(PyFloat_FromDouble(value)); }
inline Ref to_py(uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }
inline Ref to_py(uint32_t value) { return to_py(static_cast<uint64_t>(value)); }
inline Ref to_py(Ref value) { return value; }

// Keeps the cyclic garbage collector from running while a large result is built, and restores its
// previous state. A result's tuples and lists cannot form cycles, yet every few hundred of them
// start a collection, and some of those walk every object the caller holds: for clusters of a
// million strings that is most of a second. Nothing builds a result with the lock released, so no
// other thread sees the collector paused.
class GcPause {
 public:
  GcPause() : resume_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (resume_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool resume_;
};

// Lists from this many items up are built with the collector paused.
inline constexpr size_t kGcPauseItems = 1024;

// A list of exactly values.size() items, item i built by `item(values[i])` (returning Ref).
template <class T, class F>
Ref to_py_list(const std::vector<T>& values, F&& item) {
  std::optional<GcPause> pause;
  if (values.size() >= kGcPauseItems) pause.emplace();
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (size_t i = 0; i < values.size(); ++i) {
    Ref element = item(values[i]);
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), element.release()) < 0) throw PythonError{};
  }
  ensure(PyList_Size(list.get()) == static_cast<Py_ssize_t>(values.size()), "result list length mismatch");
  return list;
}

template <class T>
Ref to_py_list(const std::vector<T>& values) {
  return to_py_list(values, [](const T& v) { return to_py(v); });
}

// A tuple of the given items (each a Ref, consumed).
template <class... Items>
Ref to_py_tuple(Items&&... items) {
  Ref tuple = checked(PyTuple_New(sizeof...(Items)));
  Py_ssize_t i = 0;
  bool ok = true;
  ((ok = ok && PyTuple_SetItem(tuple.get(), i++, Ref(std::forward<Items>(items)).release()) == 0), ...);
  if (!ok) throw PythonError{};
  return tuple;
}

}  // namespace simsieve::py
