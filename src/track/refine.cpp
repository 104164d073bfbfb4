// quorlin_track._native.refine_spots: maximum-likelihood spot fits on a frame.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"
#include "localize/mle_fit.h"
#include "localize/spot_windows.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

/// Window values copied at once (32 MB of doubles): bounds the copy for any window size while
/// keeping each parallel batch large (85,000 spots of 7 x 7).
constexpr std::size_t kValuesPerBatch = std::size_t{1} << 22;

template <class T>
View2<T> frame_view(const py::array& frame) {
  View2<T> v;
  v.data = static_cast<const T*>(frame.data());
  for (int a = 0; a < 2; ++a) {
    v.shape[a] = static_cast<std::uint64_t>(frame.shape(a));
    v.strides[a] = static_cast<std::int64_t>(frame.strides(a)) /
                   static_cast<std::int64_t>(sizeof(T));
  }
  return v;
}

template <class T>
SpotWindows copy_windows(const py::array& frame, const double* y, const double* x,
                         std::size_t count, int window, double gain, double offset) {
  return extract_spot_windows<T>(frame_view<T>(frame), y, x, count, window, gain, offset);
}

/// The frame's element type picks the copy; the Python layer hands over only these types, in
/// native byte order, with strides that are whole elements.
SpotWindows copy_windows_any(const py::array& frame, const double* y, const double* x,
                             std::size_t count, int window, double gain, double offset) {
  const py::dtype dt = frame.dtype();
  const char kind = dt.kind();
  const auto size = dt.itemsize();
  if (kind == 'f' && size == 4)
    return copy_windows<float>(frame, y, x, count, window, gain, offset);
  if (kind == 'f' && size == 8)
    return copy_windows<double>(frame, y, x, count, window, gain, offset);
  if (kind == 'u' && size == 2)
    return copy_windows<std::uint16_t>(frame, y, x, count, window, gain, offset);
  if (kind == 'u' && size == 1)
    return copy_windows<std::uint8_t>(frame, y, x, count, window, gain, offset);
  throw py::type_error("argument 'frame': element type must be float32, float64, uint16 or uint8");
}

py::dict refine_spots(const py::array& frame, const py::array_t<double, py::array::c_style>& y,
                      const py::array_t<double, py::array::c_style>& x, int window,
                      std::optional<double> sigma, double gain, double offset) {
  if (frame.ndim() != 2) throw py::value_error("argument 'frame': must be a 2-D array");
  if (y.ndim() != 1 || x.ndim() != 1 || y.shape(0) != x.shape(0))
    throw py::value_error("arguments 'y' and 'x': must be 1-D arrays of one length");
  const GaussianFitOptions options{sigma ? *sigma : std::numeric_limits<double>::quiet_NaN()};
  validate_fit_settings(window, options.sigma, gain, offset);
  for (int a = 0; a < 2; ++a)
    if (frame.strides(a) % static_cast<py::ssize_t>(frame.itemsize()) != 0)
      throw py::value_error("argument 'frame': strides must be whole elements");

  const auto count = static_cast<std::size_t>(y.shape(0));
  const std::vector<double> ys(y.data(), y.data() + count);
  const std::vector<double> xs(x.data(), x.data() + count);
  std::vector<SpotFit> fits;
  fits.reserve(count);
  const std::size_t batch = kValuesPerBatch / static_cast<std::size_t>(window * window);
  for (std::size_t first = 0; first < count; first += batch) {
    const std::size_t n = std::min(batch, count - first);
    // The windows are copied while the interpreter lock is held; the fits then work on the copy.
    const SpotWindows windows =
        copy_windows_any(frame, ys.data() + first, xs.data() + first, n, window, gain, offset);
    std::vector<SpotFit> part;
    {
      py::gil_scoped_release unlocked;
      part = fit_spots(windows, ys.data() + first, xs.data() + first, options);
    }
    fits.insert(fits.end(), part.begin(), part.end());
  }

  const auto n = static_cast<py::ssize_t>(count);
  py::array_t<double> out_y(n), out_x(n), photons(n), background(n), width(n), y_err(n), x_err(n);
  py::array_t<bool> converged(n);
  for (std::size_t i = 0; i < count; ++i) {
    const SpotFit& f = fits[i];
    out_y.mutable_data()[i] = f.y;
    out_x.mutable_data()[i] = f.x;
    photons.mutable_data()[i] = f.photons;
    background.mutable_data()[i] = f.background;
    width.mutable_data()[i] = f.sigma;
    y_err.mutable_data()[i] = f.y_err;
    x_err.mutable_data()[i] = f.x_err;
    converged.mutable_data()[i] = f.converged;
  }
  py::dict result;
  result["y"] = out_y;
  result["x"] = out_x;
  result["photons"] = photons;
  result["background"] = background;
  result["sigma"] = width;
  result["y_err"] = y_err;
  result["x_err"] = x_err;
  result["converged"] = converged;
  return result;
}

}  // namespace

void bind_refine(py::module_& m) {
  m.def("refine_spots", &refine_spots, py::arg("frame"), py::arg("y"), py::arg("x"),
        py::arg("window"), py::arg("sigma"), py::arg("gain"), py::arg("offset"),
        "Poisson maximum-likelihood fits of a pixel-integrated Gaussian around each (y, x); "
        "returns a dict of per-spot arrays.");
}

}  // namespace quorlin::track
