// quorlin_track._native.measure_volume_spots: the spot measures of a volume's detections.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bindings.h"
#include "chunk_support.h"
#include "common/errors.h"
#include "localize/volume_spots.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

using Volume = py::array_t<float, py::array::c_style | py::array::forcecast>;

/// (kept (N,) bool as uint8, mass, background, size, snr of the kept spots, dropped (2,): NaN
/// voxels, hot voxels).
py::tuple measure_volume(const Volume& volume, const Volume& positions, std::uint64_t window, bool keep_hot_pixels) {
  if (volume.ndim() != 3) throw py::value_error("volume must have 3 dimensions (z, y, x)");
  if (positions.ndim() != 2 || positions.shape(1) != 3) throw py::value_error("positions must have shape (N, 3)");
  if (window < 3 || window % 2 == 0) throw ValueError("window must be an odd integer >= 3 (voxels)");
  const View3<float> view = contiguous_view<float, 3>(
      volume.data(), {static_cast<std::uint64_t>(volume.shape(0)), static_cast<std::uint64_t>(volume.shape(1)),
                      static_cast<std::uint64_t>(volume.shape(2))});
  std::vector<std::array<float, 3>> at(static_cast<std::size_t>(positions.shape(0)));
  for (std::size_t i = 0; i < at.size(); ++i)
    for (std::size_t a = 0; a < 3; ++a) at[i][a] = positions.data()[3 * i + a];
  VolumeSpots measured;
  {
    py::gil_scoped_release unlocked;
    measured = measure_volume_spots(view, at, window, keep_hot_pixels);
  }
  std::vector<float> mass, background, size, snr;
  for (const VolumeSpot& s : measured.spots) {
    mass.push_back(s.mass);
    background.push_back(s.background);
    size.push_back(s.size);
    snr.push_back(s.snr);
  }
  const auto k = static_cast<py::ssize_t>(mass.size());
  const std::vector<std::int64_t> dropped{static_cast<std::int64_t>(measured.dropped_nan),
                                          static_cast<std::int64_t>(measured.dropped_hot)};
  return py::make_tuple(flat_array(measured.kept, {static_cast<py::ssize_t>(at.size())}), flat_array(mass, {k}),
                        flat_array(background, {k}), flat_array(size, {k}), flat_array(snr, {k}),
                        flat_array(dropped, {2}));
}

}  // namespace

void bind_volume_spots(py::module_& m) {
  m.def("measure_volume_spots", &measure_volume, py::arg("volume"), py::arg("positions"), py::arg("window"),
        py::arg("keep_hot_pixels"),
        "Measures the spot at each (z, y, x) position of a volume; returns (kept (N,), mass, background, size, "
        "snr of the kept spots, dropped (2,): NaN voxels, hot voxels).");
}

}  // namespace quorlin::track
