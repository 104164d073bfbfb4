// The one conversion of NumPy arrays to the core's views in quorlin_track._native, and the stop
// flag a caller's thread sets.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/array_view.h"

namespace quorlin::track {

/// An array argument converted by pybind11 to C order and to T (casting where needed).
template <class T>
using Contiguous = pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>;

/// Whether the kernels may read the array's elements as T where they are: the address and every
/// stride whole multiples of T's alignment and size. NumPy hands over views at any byte offset of
/// a buffer (a field of a record, a slice of a byte buffer), and reading a T at an address not
/// aligned for it is undefined behaviour (a fault on some processors).
template <class T>
bool readable_in_place(const pybind11::array& array) {
  if (reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) != 0) return false;
  for (pybind11::ssize_t a = 0; a < array.ndim(); ++a)
    if (array.strides(a) % static_cast<pybind11::ssize_t>(sizeof(T)) != 0) return false;
  return true;
}

/// The one rule for every array the extension reads: the array itself where its elements can be
/// read in place, else a C-contiguous copy (which keeps a C-contiguous array C-contiguous). The
/// array's elements must already be of type T. A copy that cannot be allocated raises MemoryError.
template <class T, int Flags>
pybind11::array_t<T, Flags> readable(pybind11::array_t<T, Flags> array) {
  if (!readable_in_place<T>(array)) array = pybind11::array_t<T, Flags>(array.attr("copy")());
  return array;
}

/// A read-only view of an array's elements, and the array (the caller's or a copy) it looks into:
/// keep `held` alive while the view is read.
template <class T, std::size_t N, int Flags>
struct Viewed {
  pybind11::array_t<T, Flags> held;
  StridedView<T, N> view;
};

/// The array's elements as an N-dimensional view by the one rule (readable): strides counted in
/// elements, a C-contiguous array giving a C-contiguous view. The caller checks the number of
/// dimensions first, with its own message; a mismatch here is a ValueError all the same.
template <std::size_t N, class T, int Flags>
Viewed<T, N, Flags> view_of(pybind11::array_t<T, Flags> array) {
  if (array.ndim() != static_cast<pybind11::ssize_t>(N))
    throw pybind11::value_error("an array has the wrong number of dimensions");
  Viewed<T, N, Flags> out{readable(std::move(array)), {}};
  out.view.data = out.held.data();
  for (std::size_t a = 0; a < N; ++a) {
    const auto axis = static_cast<pybind11::ssize_t>(a);
    out.view.shape[a] = static_cast<std::uint64_t>(out.held.shape(axis));
    out.view.strides[a] = out.held.strides(axis) / static_cast<pybind11::ssize_t>(sizeof(T));
  }
  return out;
}

/// The byte that another thread sets to 1 to ask a call to stop (null: no flag). The caller's own
/// memory, never a copy, so that the call sees the flag change.
inline std::uint8_t* stop_flag_of(std::optional<pybind11::array_t<std::uint8_t>>& stop) {
  if (!stop) return nullptr;
  if (stop->size() != 1) throw pybind11::value_error("stop must hold one byte");
  return stop->mutable_data();
}

}  // namespace quorlin::track
