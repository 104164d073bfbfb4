// The one hand-over of result vectors to NumPy in quorlin_track._native: without a copy.
#pragma once

#include <pybind11/numpy.h>

#include <memory>
#include <vector>

namespace quorlin::track {

/// A NumPy array of the given shape (C order) over the vector's buffer, without a copy: the array
/// takes the vector over and frees it when NumPy releases the array. `type` is the array's dtype,
/// T's by default (another of the same size, e.g. bool over std::uint8_t, to give the values another
/// meaning). The shape must hold exactly the vector's elements.
template <class T>
pybind11::array to_numpy(std::vector<T>&& values, const std::vector<pybind11::ssize_t>& shape,
                         const pybind11::dtype& type = pybind11::dtype::of<T>()) {
  pybind11::ssize_t count = 1;
  for (const pybind11::ssize_t n : shape) count *= n;
  if (count != static_cast<pybind11::ssize_t>(values.size()) || type.itemsize() != static_cast<pybind11::ssize_t>(sizeof(T)))
    throw pybind11::value_error("a result does not fill its array's shape");
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  const pybind11::capsule holder(owned.get(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
  std::vector<T>* const vector = owned.release();  // the capsule frees it from here on
  return pybind11::array(type, shape, vector->data(), holder);
}

/// A one-dimensional to_numpy.
template <class T>
pybind11::array to_numpy(std::vector<T>&& values) {
  const auto n = static_cast<pybind11::ssize_t>(values.size());
  return to_numpy(std::move(values), {n});
}

}  // namespace quorlin::track
