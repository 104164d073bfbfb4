// quorlin_track._native.bandpass: the band-pass prefilter of a frame.
#include "detect/bandpass.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "convert.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

// The filter reads the caller's frame in place, holding the interpreter lock (so that nothing
// can change the frame meanwhile): a copy would cost as much as the filter itself.
py::array_t<float> bandpass_frame(const py::array_t<float>& frame, double noise_size,
                                  double feature_size) {
  if (frame.ndim() != 2) throw py::value_error("argument 'frame': must be a 2-D array");
  const auto viewed = view_of<2>(frame);
  validate_bandpass(noise_size, feature_size);
  py::array_t<float> out({frame.shape(0), frame.shape(1)});
  bandpass(viewed.view, noise_size, feature_size, out.mutable_data());
  return out;
}

}  // namespace

void bind_bandpass(py::module_& m) {
  m.def("bandpass", &bandpass_frame, py::arg("frame").noconvert(), py::arg("noise_size"),
        py::arg("feature_size"),
        "Gaussian low-pass minus local mean background of a 2-D float32 frame (any strides).");
}

}  // namespace quorlin::track
