// RAII ownership of Python references, and the marker for "a Python exception is already set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorlin::py {

/// Owns one strong reference (or none) and releases it on every path.
class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  /// Gives the reference to the caller.
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

/// Thrown by boundary code after it set a Python exception; the call wrapper returns NULL.
struct PythonError {};

[[noreturn]] inline void throw_python_error() {
  throw PythonError{};
}

/// Returns its argument, or throws PythonError when it is null (a Python API call failed).
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw_python_error();
  return PyRef(result);
}

}  // namespace quorlin::py
