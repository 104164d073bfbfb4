// The conversion kinds: Python arguments into read-only views and plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/array_view.h"
#include "binder.h"

namespace quorlin::py {

/// A read-only view of an array argument. keep holds an extra reference when the view reads a
/// private aligned copy instead of the caller's memory (unaligned or odd-strided input).
template <class T, std::size_t N>
struct ArrayArg {
  StridedView<T, N> view;
  PyRef keep;
};

/// An array argument whose type, number of axes and element type were checked in its place among
/// the conversions. Its memory is located only by take_view, after the last conversion that can
/// run Python code (__float__, __index__, a sequence's __getitem__): such code may resize or free
/// the array (ndarray.resize with refcheck=False), and a pointer taken before it could dangle.
template <class T, std::size_t N>
struct CheckedArray {
  Arg arg;  ///< the array object, held by the caller for the whole call
};

/// The per-frame views of a `frames` argument; owners keeps every item alive for the call.
struct FramesArg {
  std::vector<View2<float>> views;
  PyRef owners;
};

/// A `frames` argument whose items were checked; owners is a tuple holding a strong reference to
/// every item, so Python code run by later conversions cannot free one by editing the caller's
/// list. The item views are taken by take_views, as for CheckedArray.
struct CheckedFrames {
  Arg arg;
  PyRef owners;
};

namespace detail {
struct RawArray {
  const void* data = nullptr;
  std::int64_t shape[3] = {0, 0, 0};
  std::int64_t strides[3] = {0, 0, 0};  // in elements
  PyRef keep;
};
enum class Element { float32, int32 };
/// Checks that obj is an ndarray of ndim axes with an element type equivalent to elem, or raises
/// the conversion failure with target "PyArray<T, D>" (no prefix).
void check_array(PyObject* obj, int ndim, Element elem);
/// check_array, then the array's data, shape and strides (of a private aligned copy if needed).
RawArray convert_array(PyObject* obj, int ndim, Element elem);
template <class T>
constexpr Element element_of();
template <>
constexpr Element element_of<float>() {
  return Element::float32;
}
template <>
constexpr Element element_of<std::int32_t>() {
  return Element::int32;
}

/// Runs a conversion; a TypeError it raises is replaced by "argument '<name>': <message>" with the
/// original as its cause. Errors of other classes pass unchanged.
[[noreturn]] void reraise_with_prefix(const char* name);
}  // namespace detail

/// Runs convert(arg.obj) and applies the argument prefix rule to its failure.
template <class Convert>
auto with_prefix(Arg arg, Convert&& convert) -> decltype(convert(arg.obj)) {
  try {
    return convert(arg.obj);
  } catch (const PythonError&) {
    detail::reraise_with_prefix(arg.name);
  }
}

/// array(N, T): a NumPy array with exactly N axes and an element type equivalent to T.
template <class T, std::size_t N>
CheckedArray<T, N> to_array(Arg arg) {
  with_prefix(arg, [](PyObject* o) {
    detail::check_array(o, static_cast<int>(N), detail::element_of<T>());
  });
  return CheckedArray<T, N>{arg};
}

/// Takes the view of a checked array as the array is now. An array that Python code has since
/// given another number of axes or element type fails as it would have at its conversion.
template <class T, std::size_t N>
ArrayArg<T, N> take_view(const CheckedArray<T, N>& array) {
  auto raw = with_prefix(array.arg, [](PyObject* o) {
    return detail::convert_array(o, static_cast<int>(N), detail::element_of<T>());
  });
  ArrayArg<T, N> out;
  out.view.data = static_cast<const T*>(raw.data);
  for (std::size_t a = 0; a < N; ++a) {
    out.view.shape[a] = static_cast<std::uint64_t>(raw.shape[a]);
    out.view.strides[a] = raw.strides[a];
  }
  out.keep = std::move(raw.keep);
  return out;
}

/// Unprefixed float conversion (the interpreter's own error), narrowed to 32 bits.
float float_value_f32(PyObject* obj);

/// f32: anything with a float value, narrowed to a 32-bit float.
float to_f32(Arg arg);
/// u64: an int or an object with an index conversion.
std::uint64_t to_u64(Arg arg);
/// text: a str; the UTF-8 text stays valid while the argument is alive (the whole call).
std::string_view to_text(Arg arg);
/// tuple: a tuple (or subclass), returned borrowed and read later by index.
PyObject* to_tuple(Arg arg);
/// frames: a non-str sequence whose items are 2-D float32 arrays.
CheckedFrames to_frames(Arg arg);
/// Takes the views of the items as they are now (see take_view); the result owns the items.
FramesArg take_views(CheckedFrames&& frames);

/// optional(K): None gives an absent value, anything else goes through kind K.
template <class Convert>
auto to_optional(Arg arg, Convert&& convert) -> std::optional<decltype(convert(arg))> {
  if (arg.obj == Py_None) return std::nullopt;
  return convert(arg);
}

/// Reads item k of a tuple as a 32-bit float: IndexError when it is missing, the float
/// conversion's own error otherwise; no argument prefix.
float tuple_item_f32(PyObject* tuple, Py_ssize_t k);

/// Reads items 0 .. count-1 of a tuple in order with tuple_item_f32.
template <std::size_t Count>
std::array<float, Count> tuple_floats(PyObject* tuple) {
  std::array<float, Count> out{};
  for (std::size_t k = 0; k < Count; ++k)
    out[k] = tuple_item_f32(tuple, static_cast<Py_ssize_t>(k));
  return out;
}

}  // namespace quorlin::py
