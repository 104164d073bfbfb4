// Maps C++ exceptions to Python exceptions.
#include "error_translation.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/errors.h"

namespace quorlin::py {

namespace {

/// Raises type with the whole message of e (UTF-8, embedded NULs kept).
void set_exact(PyObject* type, const quorlin::Error& e) noexcept {
  const std::string& text = e.text();
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // the decoder's own error (MemoryError) stays set
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

}  // namespace

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RuntimeError, "internal error: failure reported without an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const quorlin::ValueError& e) {
    set_exact(PyExc_ValueError, e);
  } catch (const quorlin::OverflowError& e) {
    set_exact(PyExc_OverflowError, e);
  } catch (const quorlin::MemoryError& e) {
    set_exact(PyExc_MemoryError, e);
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
  }
}

}  // namespace quorlin::py
