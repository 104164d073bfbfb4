// Frames of any real sample type read as float32, and the automatic threshold computed on the way.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "detect/background.h"

namespace quorlin::track {

/// Integer samples of at most 16 bits: their background comes from a value histogram, in one pass
/// with the conversion, instead of from selecting among the converted values.
template <class T>
constexpr bool kCountable = std::is_integral_v<T> && sizeof(T) <= 2;

/// Converts n contiguous samples to float32 into `out`; with `background` set, also returns the
/// frame's background (kept in `scratch` for sample types that have no histogram).
template <class T>
std::optional<Background> convert_samples(const T* samples, std::size_t n, float* out, bool background,
                                          std::vector<float>& scratch) {
  if constexpr (kCountable<T>) {
    if (background) {
      // One pass: convert and count over every value the type can hold.
      IntegerHistogram histogram{std::numeric_limits<T>::min(),
                                 std::vector<std::uint64_t>(std::size_t{1} << (8 * sizeof(T)), 0)};
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(samples[i]);
        ++histogram.count[static_cast<std::size_t>(static_cast<std::int64_t>(samples[i]) - histogram.lowest)];
      }
      return background_of(histogram);
    }
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(samples[i]);
  if (!background) return std::nullopt;
  scratch.assign(out, out + n);
  return background_of(std::span<float>(scratch));
}

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
    // empty array instead, and its data pointer would be null). It keeps a contiguous array that
    // is not aligned for T as it is (a view at an odd byte offset of a buffer): that one is copied,
    // since the kernels read T values in place.
    using Typed = py::array_t<T, py::array::c_style | py::array::forcecast>;
    Typed typed(source);
    if (reinterpret_cast<std::uintptr_t>(typed.data()) % alignof(T) != 0) typed = Typed(typed.attr("copy")());
    visit(typed);
    return true;
  };
  const auto any = [&](const py::array& source) {
    return attempt(source, std::uint8_t{}) || attempt(source, std::int8_t{}) || attempt(source, std::uint16_t{}) ||
           attempt(source, std::int16_t{}) || attempt(source, std::uint32_t{}) || attempt(source, std::int32_t{}) ||
           attempt(source, std::uint64_t{}) || attempt(source, std::int64_t{}) || attempt(source, float{}) ||
           attempt(source, double{});
  };
  if (any(array)) return true;
  const py::dtype type = array.dtype();
  const char kind = type.kind();
  if (kind != 'u' && kind != 'i' && kind != 'f') return false;
  const py::dtype native = kind == 'f' ? py::dtype::of<double>() : py::dtype(type.attr("newbyteorder")("="));
  return any(py::array(array.attr("astype")(native)));
}

}  // namespace quorlin::track
