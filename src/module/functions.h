// The module's functions: each is one table entry with its signature and fast-call entry point.
#pragma once

#include "binder.h"
#include "error_translation.h"

namespace quorlin::py {

using FastEntry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

/// One row of the function table.
struct FunctionEntry {
  Signature signature;
  FastEntry entry;
};

/// The common calling frame: bind the arguments to sig, then run body on them (conversions, the
/// core routine, the hand-over of results). Every failure becomes a Python exception.
template <class Body>
PyObject* call_frame(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) noexcept {
  return guarded([&] { return body(bind(sig, args, nargs, kwnames)); });
}

// Table entries, defined next to their bindings.
extern const FunctionEntry kRsDetectPeaks;
extern const FunctionEntry kRsDetectPeaks3d;
extern const FunctionEntry kRsDrawTracks;
extern const FunctionEntry kRsDrawTracks3d;
extern const FunctionEntry kRsDrawTracksValue;
extern const FunctionEntry kRsDrawTracksValue3d;
extern const FunctionEntry kRsRadialSymmetry2d;
extern const FunctionEntry kRsRadialSymmetry3d;
extern const FunctionEntry kRsLinkPoints;
extern const FunctionEntry kRsLinkPoints3d;

}  // namespace quorlin::py
