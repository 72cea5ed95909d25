// Hands the phase counters of a running call to a Python callable, progress(phase, done, total),
// on the calling thread with the interpreter lock held: from the wait hook of GilRelease while the
// call runs (every kWaitHookInterval), once per finished phase with done == total, and once more
// for the phases that finished after the last hook when the call returns. An exception raised by
// the callable stops the call and becomes its result.
#pragma once

#include <Python.h>

#include "pool/phase_progress.hpp"

namespace simsieve::py {

class ProgressReport {
 public:
  // `callback` is borrowed and must outlive the report.
  explicit ProgressReport(PyObject* callback) noexcept : callback_(callback) {}

  PhaseProgress* counters() noexcept { return &counters_; }

  // With the lock held. Reports the phases finished since the last call, then (unless `final`) the
  // running phase. False when the callable raised (its exception is pending).
  bool report(bool final) {
    for (const PhaseProgress::Event& e : counters_.take_finished())
      if (!call(e)) return false;
    if (final) return true;
    if (auto running = counters_.running()) return call(*running);
    return true;
  }

 private:
  bool call(const PhaseProgress::Event& e) {
    PyObject* result = PyObject_CallFunction(callback_, "sKK", e.phase, static_cast<unsigned long long>(e.done),
                                             static_cast<unsigned long long>(e.total));
    if (!result) return false;
    Py_DECREF(result);
    return true;
  }

  PyObject* callback_;
  PhaseProgress counters_;
};

}  // namespace simsieve::py
