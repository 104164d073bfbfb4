// The one place where the core's C++ exceptions become Python exceptions in quorlin_track._native.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "common/errors.h"

namespace quorlin::track {

void bind_errors(pybind11::module_&) {
  // std::bad_alloc already becomes MemoryError and std::exception RuntimeError; the core's own
  // types keep their whole message and their documented class.
  pybind11::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const quorlin::ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.text().c_str());
    } catch (const quorlin::OverflowError& e) {
      PyErr_SetString(PyExc_OverflowError, e.text().c_str());
    } catch (const quorlin::MemoryError& e) {
      PyErr_SetString(PyExc_MemoryError, e.text().c_str());
    }
  });
}

}  // namespace quorlin::track
