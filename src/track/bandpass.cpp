// quorlin_track._native.bandpass: the band-pass prefilter of a frame.
#include "detect/bandpass.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "bindings.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

py::array_t<float> bandpass_frame(const py::array_t<float, py::array::c_style>& frame,
                                  double noise_size, double feature_size) {
  if (frame.ndim() != 2) throw py::value_error("argument 'frame': must be a 2-D array");
  validate_bandpass(noise_size, feature_size);
  const std::array<std::uint64_t, 2> shape{static_cast<std::uint64_t>(frame.shape(0)),
                                           static_cast<std::uint64_t>(frame.shape(1))};
  // The filter runs on a copy, without the interpreter lock.
  const std::vector<float> copy(frame.data(), frame.data() + frame.size());
  ResultArray<float> filtered;
  {
    py::gil_scoped_release unlocked;
    filtered = bandpass(contiguous_view<float, 2>(copy.data(), shape), noise_size, feature_size);
  }
  py::array_t<float> out({frame.shape(0), frame.shape(1)});
  std::copy(filtered.data.begin(), filtered.data.end(), out.mutable_data());
  return out;
}

}  // namespace

void bind_bandpass(py::module_& m) {
  m.def("bandpass", &bandpass_frame, py::arg("frame"), py::arg("noise_size"),
        py::arg("feature_size"),
        "Gaussian low-pass minus local mean background of a float32 frame.");
}

}  // namespace quorlin::track
