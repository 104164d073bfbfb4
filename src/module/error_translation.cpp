// Maps C++ exceptions to Python exceptions: the core's own by the rule both extensions share
// (core_errors.h), the rest here.
#include "error_translation.h"

#include <exception>

#include "core_errors.h"

namespace quorlin::py {

void set_error_from_current_exception() noexcept {
  // A failed allocation is the interpreter's bare MemoryError, as in the interpreter itself.
  if (set_core_error(nullptr)) return;
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_RuntimeError, "internal error: failure reported without an exception");
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_RuntimeError, "internal error: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "internal error: unknown exception");
  }
}

}  // namespace quorlin::py
