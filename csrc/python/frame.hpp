// The call frame shared by every Python-visible entry point: argument binding by a fixed
// descriptor, the interpreter-lock release guard, and the protective frame that maps C++
// failures to Python exceptions.
//
// An entry point is written as below; one registered with METH_FASTCALL | METH_KEYWORDS takes
// (PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) and binds with
// kMySignature.bind(args, nargs, kwnames) instead.
//
//   PyObject* my_entry(PyObject*, PyObject* args, PyObject* kwargs) {
//     return call_frame([&]() -> PyObject* {
//       auto bound = kMySignature.bind(args, kwargs);          // borrowed; nullptr = default
//       auto text = arg("text", bound[0], to_string);
//       auto threads = bound[1] ? arg("threads", bound[1], to_count) : 0;
//       auto result = without_gil([&] { return compute(text, threads); });
//       return to_py(result);
//     });
//   }
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "common/internal_error.hpp"
#include "pool/cancel.hpp"
#include "python/errors.hpp"

namespace simsieve::py {

namespace detail {
// Binds positional and keyword arguments to parameter slots (borrowed references, nullptr where a
// parameter was not given); throws PythonError with the binding TypeError otherwise.
void bind_arguments(const char* display, const char* const* names, size_t count, size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots);
// Same for the vectorcall convention (METH_FASTCALL | METH_KEYWORDS): nargs positional arguments
// in args, followed by one value per name of the kwnames tuple (nullptr when there is none).
void bind_fast_arguments(const char* display, const char* const* names, size_t count, size_t required,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);
}  // namespace detail

// The argument descriptor of one entry point: its display name ("ratio()", "Rationer.ratio()"),
// its parameter names in order and how many of them are required. Optional parameters take their
// defaults in the entry point when their slot is nullptr.
template <size_t N>
struct Signature {
  const char* display;
  std::array<const char*, N> names;
  size_t required;

  std::array<PyObject*, N> bind(PyObject* args, PyObject* kwargs) const {
    std::array<PyObject*, N> slots{};
    detail::bind_arguments(display, names.data(), N, required, args, kwargs, slots.data());
    return slots;
  }

  // For entry points registered with METH_FASTCALL | METH_KEYWORDS. All parameters given by
  // position, the common call, bind without any interpreter call.
  std::array<PyObject*, N> bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    std::array<PyObject*, N> slots{};
    if (!kwnames && nargs == static_cast<Py_ssize_t>(N)) [[likely]] {
      for (size_t i = 0; i < N; ++i) slots[i] = args[i];
      return slots;
    }
    detail::bind_fast_arguments(display, names.data(), N, required, args, nargs, kwnames, slots.data());
    return slots;
  }
};

// Releases the interpreter lock for its lifetime; the lock is re-acquired on every path out,
// exceptions included. While released, it is the calling thread's cancellation point: whenever
// the thread blocks waiting for pool work, it briefly takes the lock back every few tens of
// milliseconds to run pending signal handlers (PyErr_CheckSignals); when one raises (Ctrl-C:
// KeyboardInterrupt), the call's cancel token is set so that the computation stops at its next
// check, and the raised exception becomes the call's result.
class GilRelease {
 public:
  GilRelease() noexcept
      : cancel_scope_(&token_), hook_scope_(&GilRelease::poll_signals, this), state_(PyEval_SaveThread()) {}
  ~GilRelease() { reacquire(); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

  void reacquire() noexcept {
    if (state_) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }
  // True when a signal handler raised during the call; its exception is pending.
  bool interrupted() const noexcept { return interrupted_; }

 private:
  static void poll_signals(void* self_ptr) {
    auto* self = static_cast<GilRelease*>(self_ptr);
    if (self->interrupted_ || !self->state_) return;
    PyEval_RestoreThread(self->state_);
    if (PyErr_CheckSignals() < 0) {
      self->interrupted_ = true;
      self->token_.cancel();
    }
    self->state_ = PyEval_SaveThread();
  }

  CancelToken token_;
  CancelScope cancel_scope_;
  WaitHookScope hook_scope_;
  PyThreadState* state_;
  bool interrupted_ = false;
};

// Runs f with the interpreter lock released. f must not touch any Python object. A call
// interrupted by a signal discards f's result (or its Cancelled unwinding) and raises the
// signal handler's exception.
template <class F>
decltype(auto) without_gil(F&& f) {
  GilRelease released;
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      f();
      released.reacquire();
      if (released.interrupted()) throw PythonError{};
    } else {
      auto result = f();
      released.reacquire();
      if (released.interrupted()) throw PythonError{};
      return result;
    }
  } catch (const Cancelled&) {
    released.reacquire();
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw PythonError{};
  }
}

// The protective frame: runs body (which returns a new reference or nullptr with an exception
// set) and turns every C++ failure into a Python exception: PythonError -> the pending error,
// std::bad_alloc -> MemoryError, anything else -> PanicException.
template <class F>
PyObject* call_frame(F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const PythonError&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return nullptr;
  } catch (const std::exception& failure) {
    raise_panic(failure.what());
    return nullptr;
  } catch (...) {
    raise_panic(nullptr);
    return nullptr;
  }
}

// Same frame for slots that report failure with -1 (tp_init).
template <class F>
int call_frame_int(F&& body) noexcept {
  PyObject* marker = call_frame([&]() -> PyObject* {
    std::forward<F>(body)();
    Py_RETURN_NONE;
  });
  if (!marker) return -1;
  Py_DECREF(marker);
  return 0;
}

}  // namespace simsieve::py
