// The core's exceptions mapped to Python exceptions.
#include "core_errors.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "common/errors.h"

namespace quorlin {

namespace {

/// Raises type with the whole message of e (UTF-8, embedded NULs kept).
void set_exact(PyObject* type, const Error& e) noexcept {
  const std::string& text = e.text();
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // the decoder's own error (MemoryError) stays set
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void set_out_of_memory(const char* out_of_memory) noexcept {
  if (out_of_memory == nullptr) {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_MemoryError, out_of_memory);
  }
}

}  // namespace

bool set_core_error(const char* out_of_memory) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    set_out_of_memory(out_of_memory);
  } catch (const std::length_error&) {
    set_out_of_memory(out_of_memory);
  } catch (const ValueError& e) {
    set_exact(PyExc_ValueError, e);
  } catch (const OverflowError& e) {
    set_exact(PyExc_OverflowError, e);
  } catch (const MemoryError& e) {
    set_exact(PyExc_MemoryError, e);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace quorlin
