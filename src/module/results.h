// Hands core results to Python: result buffers become NumPy arrays without a copy.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "common/array_view.h"
#include "py_ref.h"

namespace quorlin::py {

namespace detail {
enum class ResultElement { float32, uint32 };
/// Wraps data (owned by holder, which the new array takes as its base) as a writeable C-ordered
/// array. holder is consumed on every path.
PyRef wrap_buffer(void* data, const std::vector<std::uint64_t>& shape, ResultElement elem,
                  PyRef holder);
/// Checks that count elements fill shape exactly; raises the "Error creating ndarray: ..."
/// ValueError otherwise.
void check_shape(std::uint64_t count, const std::vector<std::uint64_t>& shape);
PyRef make_holder(void* owned, void (*destroy)(void*));
template <class T>
constexpr ResultElement result_element_of();
template <>
constexpr ResultElement result_element_of<float>() {
  return ResultElement::float32;
}
template <>
constexpr ResultElement result_element_of<std::uint32_t>() {
  return ResultElement::uint32;
}
}  // namespace detail

/// Turns a result buffer into a NumPy array that owns it (through a holder object freed exactly
/// once, when NumPy releases the array). Always checks that the buffer fills the shape.
template <class T>
PyRef to_numpy(ResultArray<T>&& result) {
  detail::check_shape(result.data.size(), result.shape);
  auto* owned = new std::vector<T>(std::move(result.data));
  PyRef holder =
      detail::make_holder(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return detail::wrap_buffer(owned->data(), result.shape, detail::result_element_of<T>(),
                             std::move(holder));
}

/// A tuple of Python floats widened from 32-bit values.
PyRef float_tuple(std::initializer_list<float> values);

/// A tuple that takes over the given references, in order.
template <class... Items>
PyRef make_tuple(Items&&... items) {
  PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

}  // namespace quorlin::py
