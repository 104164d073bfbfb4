// quorlin_track._native.displacement_sums: the pair sums behind the mean squared displacements.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "analysis/displacements.h"
#include "bindings.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

template <class T>
using Contiguous = py::array_t<T, py::array::c_style | py::array::forcecast>;

/// An owned copy of a NumPy array's elements, so the work can run without the interpreter lock.
template <class T>
std::vector<T> owned_copy(const Contiguous<T>& a) {
  return std::vector<T>(a.data(), a.data() + a.size());
}

template <class T>
py::array_t<T> to_numpy(const std::vector<T>& values, std::vector<py::ssize_t> shape) {
  py::array_t<T> out(shape);
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::tuple displacement_sums_py(const Contiguous<std::int64_t>& frames,
                               const Contiguous<double>& positions,
                               const Contiguous<std::int64_t>& track_starts, std::size_t max_lag) {
  if (frames.ndim() != 1 || positions.ndim() != 2 || track_starts.ndim() != 1) {
    throw py::value_error("frames and track_starts must be 1-D, positions 2-D");
  }
  const auto frame_values = owned_copy(frames);
  const auto position_values = owned_copy(positions);
  const auto start_values = owned_copy(track_starts);
  const std::array<std::uint64_t, 2> position_shape{static_cast<std::uint64_t>(positions.shape(0)),
                                                    static_cast<std::uint64_t>(positions.shape(1))};
  DisplacementSums sums;
  {
    py::gil_scoped_release released;
    sums = displacement_sums(
        contiguous_view<std::int64_t, 1>(frame_values.data(), {frame_values.size()}),
        contiguous_view<double, 2>(position_values.data(), position_shape),
        contiguous_view<std::int64_t, 1>(start_values.data(), {start_values.size()}), max_lag);
  }
  const auto tracks = static_cast<py::ssize_t>(sums.tracks);
  const auto lags = static_cast<py::ssize_t>(sums.max_lag);
  const auto dims = static_cast<py::ssize_t>(sums.dims);
  return py::make_tuple(to_numpy(sums.counts, {tracks, lags}),
                        to_numpy(sums.sums, {tracks, lags, dims}),
                        to_numpy(sums.squared_sums, {tracks, lags, dims}));
}

}  // namespace

void bind_displacements(py::module_& m) {
  m.def("displacement_sums", &displacement_sums_py, py::arg("frames"), py::arg("positions"),
        py::arg("track_starts"), py::arg("max_lag"),
        "Per track and lag (1 to max_lag frames): pair counts, sums of displacements and of "
        "squared displacements along each axis.\n\nRows of each track [track_starts[t], "
        "track_starts[t + 1]) must have strictly increasing frames.");
}

}  // namespace quorlin::track
