// The one place where the core's C++ exceptions become Python exceptions in quorlin_track._native.
#include <pybind11/pybind11.h>

#include <new>

#include "bindings.h"
#include "common/errors.h"
#include "common/memory.h"

namespace quorlin::track {

void bind_errors(pybind11::module_& m) {
  m.def("available_memory", &quorlin::available_memory,
        "Bytes of memory the process may still take (the system's estimate, and the room left "
        "under an address-space limit), for checks made before a large allocation.");
  // The core's own types keep their whole message and their documented class. A failed allocation
  // that no binding has named (naming_memory) still says what it is rather than "std::bad_alloc";
  // anything else from std::exception becomes RuntimeError.
  pybind11::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const std::bad_alloc&) {
      PyErr_SetString(PyExc_MemoryError,
                      "not enough memory for the working buffers of this call (an allocation "
                      "failed)");
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
