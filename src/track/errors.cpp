// The core's C++ exceptions as Python exceptions in quorlin_track._native, by the rule both
// extensions share (core_errors.h); the memory available.
#include <pybind11/pybind11.h>

#include <exception>

#include "bindings.h"
#include "common/memory.h"
#include "core_errors.h"

namespace quorlin::track {

namespace {

/// What a failed allocation that no binding has named (naming_memory) says, instead of nothing.
constexpr const char* kOutOfMemory = "not enough memory for the working buffers of this call (an allocation failed)";

}  // namespace

void bind_errors(pybind11::module_& m) {
  m.def("available_memory", &quorlin::available_memory,
        "Bytes of memory the process may still take (the system's estimate, and the room left "
        "under an address-space limit), for checks made before a large allocation.");
  // pybind11's own exceptions (argument errors raised by the bindings, a Python error passing
  // through) are left to pybind11's translators; anything else from std::exception becomes
  // RuntimeError there.
  pybind11::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (...) {
      if (!set_core_error(kOutOfMemory)) throw;
    }
  });
}

}  // namespace quorlin::track
