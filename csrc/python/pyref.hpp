// Owning reference to a Python object: releases its reference when it goes out of scope.
#pragma once

#include <Python.h>

#include <utility>

namespace simsieve::py {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new (owned) reference; nullptr is allowed.
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace simsieve::py
