// Owns NumPy's array interface table; it is fetched on first use, never at import.
#define QUORLIN_NUMPY_API_OWNER
#include "numpy_api.h"

namespace quorlin::py {

void ensure_numpy() {
  // _import_array picks numpy._core or numpy.core from the installed NumPy's major version and
  // caches the table; calls are serialised by the interpreter lock.
  if (PyArray_API != nullptr) return;
  if (_import_array() < 0) throw_python_error();
}

}  // namespace quorlin::py
