// Movie samples of any real type handed to the kernels in their own type.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "convert.h"
#include "detect/sample_conversion.h"

namespace quorlin::track {

/// Calls visit(typed) with the array as a C-contiguous py::array_t of its own sample type, for the
/// real types a movie may hold; returns false for any other dtype. Samples in the other byte order
/// are first swapped into the machine's, and floats of other widths (half, long double) are read
/// as double. A contiguous copy that cannot be allocated raises MemoryError.
template <class Visit>
bool visit_samples(const pybind11::array& array, Visit&& visit) {
  namespace py = pybind11;
  const auto attempt = [&](const py::array& source, auto tag) {
    using T = decltype(tag);
    if (!py::isinstance<py::array_t<T>>(source)) return false;
    // The converting constructor raises the allocation's error (ensure() would hand back an
    // empty array instead, and its data pointer would be null); readable() copies an array the
    // kernels cannot read in place.
    visit(readable(py::array_t<T, py::array::c_style | py::array::forcecast>(source)));
    return true;
  };
  const auto any = [&](const py::array& source) {
#define QUORLIN_ATTEMPT(T) attempt(source, T{}) ||
    return QUORLIN_FOR_EACH_SAMPLE_TYPE(QUORLIN_ATTEMPT) false;
#undef QUORLIN_ATTEMPT
  };
  if (any(array)) return true;
  const py::dtype type = array.dtype();
  const char kind = type.kind();
  if (kind != 'u' && kind != 'i' && kind != 'f') return false;
  const py::dtype native = kind == 'f' ? py::dtype::of<double>() : py::dtype(type.attr("newbyteorder")("="));
  return any(py::array(array.attr("astype")(native)));
}

/// Calls work(samples, frames, rows, cols) with the samples of a (T, Y, X) chunk of a movie in their
/// own type (visit_samples), C-contiguous, without the interpreter lock: the chunk is a read buffer
/// that quorlin_track allocated for this call and shares with no other code, and the typed array
/// keeps it alive meanwhile. ValueError for a chunk that is not 3-D, TypeError for a sample type
/// a movie cannot hold.
template <class Work>
void with_chunk_samples(const pybind11::array& chunk, Work&& work) {
  namespace py = pybind11;
  if (chunk.ndim() != 3) throw py::value_error("chunk must have 3 dimensions (frames, rows, columns)");
  const bool known = visit_samples(chunk, [&](const auto& typed) {
    const auto frames = static_cast<std::uint64_t>(typed.shape(0));
    const auto rows = static_cast<std::uint64_t>(typed.shape(1));
    const auto cols = static_cast<std::uint64_t>(typed.shape(2));
    const auto* samples = typed.data();
    py::gil_scoped_release unlocked;
    work(samples, frames, rows, cols);
  });
  if (!known) throw py::type_error("chunk has an unsupported sample type");
}

}  // namespace quorlin::track
