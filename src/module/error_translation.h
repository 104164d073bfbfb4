// The single place where C++ exceptions become Python exceptions.
#pragma once

#include "py_ref.h"

namespace quorlin::py {

/// Sets the Python exception matching the exception currently being handled. Call only from a
/// catch block. std::bad_alloc becomes MemoryError, the core's ValueError and OverflowError keep
/// their class and text, anything else becomes RuntimeError.
void set_error_from_current_exception() noexcept;

/// Runs body (which returns a PyRef) and returns its new reference, or NULL with a Python
/// exception set. No C++ exception crosses into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

}  // namespace quorlin::py
