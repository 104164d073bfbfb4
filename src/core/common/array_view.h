// Read-only strided views over caller-owned arrays, and owned contiguous result arrays.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorlin {

/// Non-owning, read-only view of an N-dimensional array. Strides count elements and may be
/// negative, zero or non-contiguous; element (i, j, ...) lies at data[i*strides[0] + j*strides[1] +
/// ...].
template <class T, std::size_t N>
struct StridedView {
  const T* data = nullptr;
  std::array<std::uint64_t, N> shape{};
  std::array<std::int64_t, N> strides{};

  template <class... I>
  const T& operator()(I... idx) const {
    static_assert(sizeof...(I) == N, "one index per axis");
    const std::array<std::int64_t, N> at{static_cast<std::int64_t>(idx)...};
    std::int64_t offset = 0;
    for (std::size_t a = 0; a < N; ++a) offset += at[a] * strides[a];
    return data[offset];
  }
};

template <class T>
using View1 = StridedView<T, 1>;
template <class T>
using View2 = StridedView<T, 2>;
template <class T>
using View3 = StridedView<T, 3>;

/// View of a contiguous row-major buffer.
template <class T, std::size_t N>
StridedView<T, N> contiguous_view(const T* data, const std::array<std::uint64_t, N>& shape) {
  StridedView<T, N> v;
  v.data = data;
  v.shape = shape;
  std::int64_t step = 1;
  for (std::size_t a = N; a-- > 0;) {
    v.strides[a] = step;
    step *= static_cast<std::int64_t>(shape[a]);
  }
  return v;
}

/// Calls visit(r, c) once for each pixel on the edge (first and last row and column) of a rows x
/// cols frame, in raster order.
template <class Visit>
void for_each_on_frame_edge(std::int64_t rows, std::int64_t cols, Visit&& visit) {
  for (std::int64_t r = 0; r < rows; ++r) {
    if (r == 0 || r == rows - 1) {
      for (std::int64_t c = 0; c < cols; ++c) visit(r, c);
    } else if (cols > 0) {
      visit(r, std::int64_t{0});
      if (cols > 1) visit(r, cols - 1);
    }
  }
}

/// An owned, contiguous, row-major result buffer with its shape (1 to 3 axes). The module surface
/// hands the buffer to NumPy without copying.
template <class T>
struct ResultArray {
  std::vector<T> data;
  std::vector<std::uint64_t> shape;

  ResultArray() = default;
  ResultArray(std::vector<T> values, std::vector<std::uint64_t> dims)
      : data(std::move(values)), shape(std::move(dims)) {}
};

}  // namespace quorlin
