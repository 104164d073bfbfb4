// Access to NumPy's C array interface, located lazily on the first call that needs it.
#pragma once

#include "py_ref.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL QUORLIN_ARRAY_API
#ifndef QUORLIN_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace quorlin::py {

/// Imports NumPy's array interface once per process; throws PythonError if it cannot.
void ensure_numpy();

}  // namespace quorlin::py
