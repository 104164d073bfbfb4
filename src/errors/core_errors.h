// The one rule, for both extensions, by which the core's C++ exceptions become Python exceptions.
#pragma once

#include <Python.h>

namespace quorlin {

/// Sets the Python exception for the C++ exception being handled, when it is one the core throws,
/// and returns true; returns false, setting nothing, for any other exception. The core's
/// ValueError, OverflowError and MemoryError keep their class and their whole text (UTF-8; NUL
/// characters, which a message quoting the caller's text may hold, are kept). A failed allocation
/// (std::bad_alloc, or std::length_error for a size no container can hold) becomes MemoryError
/// with `out_of_memory` as its text, or with no text when it is null. Call only from a catch block.
bool set_core_error(const char* out_of_memory) noexcept;

}  // namespace quorlin
