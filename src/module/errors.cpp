// Maps C++ exceptions to Python exceptions.
#include "errors.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "../core/errors.h"

namespace quorlin::py {

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
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const quorlin::OverflowError& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const quorlin::MemoryError& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
  }
}

}  // namespace quorlin::py
