// quorlin_track._native.measure_volume_spots: the spot measures of a volume's detections.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bindings.h"
#include "common/errors.h"
#include "convert.h"
#include "localize/volume_spots.h"
#include "results.h"

namespace quorlin::track {

namespace py = pybind11;

namespace {

/// (source (M,): the input row of each of the M spots, mass, background, size, snr, positions
/// (M, 3), fitted (M,) as uint8, dropped (2,): NaN voxels, hot voxels).
py::tuple measure_volume(const Contiguous<float>& volume, const Contiguous<float>& positions, std::uint64_t window,
                         bool keep_hot_pixels) {
  if (volume.ndim() != 3) throw py::value_error("volume must have 3 dimensions (z, y, x)");
  if (positions.ndim() != 2 || positions.shape(1) != 3) throw py::value_error("positions must have shape (N, 3)");
  if (window < 3 || window % 2 == 0) throw ValueError("window must be an odd integer >= 3 (voxels)");
  const auto voxels = view_of<3>(volume);
  const auto rows = view_of<2>(positions);
  std::vector<std::array<float, 3>> at(static_cast<std::size_t>(positions.shape(0)));
  for (std::size_t i = 0; i < at.size(); ++i)
    for (std::size_t a = 0; a < 3; ++a) at[i][a] = rows.view(i, a);
  VolumeSpots measured;
  {
    py::gil_scoped_release unlocked;
    measured = measure_volume_spots(voxels.view, at, window, keep_hot_pixels);
  }
  std::vector<float> mass, background, size, snr, refined;
  std::vector<std::uint8_t> fitted;
  for (const VolumeSpot& s : measured.spots) {
    mass.push_back(s.mass);
    background.push_back(s.background);
    size.push_back(s.size);
    snr.push_back(s.snr);
    refined.insert(refined.end(), s.position.begin(), s.position.end());
    fitted.push_back(s.fitted ? 1 : 0);
  }
  const auto kept_spots = static_cast<py::ssize_t>(fitted.size());
  std::vector<std::int64_t> dropped{static_cast<std::int64_t>(measured.dropped_nan),
                                    static_cast<std::int64_t>(measured.dropped_hot)};
  return py::make_tuple(to_numpy(std::move(measured.source)), to_numpy(std::move(mass)),
                        to_numpy(std::move(background)), to_numpy(std::move(size)), to_numpy(std::move(snr)),
                        to_numpy(std::move(refined), {kept_spots, py::ssize_t{3}}),
                        to_numpy(std::move(fitted)), to_numpy(std::move(dropped)));
}

}  // namespace

void bind_volume_spots(py::module_& m) {
  m.def("measure_volume_spots", &measure_volume, py::arg("volume"), py::arg("positions"), py::arg("window"),
        py::arg("keep_hot_pixels"),
        "Measures the spot at each (z, y, x) position of a volume and refines it by a Gaussian fit; returns "
        "(source (M,): the input row of each of the M spots, mass, background, size, snr, positions (M, 3), "
        "fitted (M,), dropped (2,): NaN voxels, hot voxels).");
}

}  // namespace quorlin::track
