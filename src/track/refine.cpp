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
#include "convert.h"
#include "localize/mle_fit.h"
#include "localize/spot_windows.h"
#include "results.h"

namespace py = pybind11;

namespace quorlin::track {
namespace {

/// Window values copied at once (32 MB of doubles): bounds the copy for any window size while
/// keeping each parallel batch large (85,000 spots of 7 x 7).
constexpr std::size_t kValuesPerBatch = std::size_t{1} << 22;

/// The fits of every spot (ys[i], xs[i]) on a frame of T values, in batches: each batch's windows
/// are copied while the interpreter lock is held (the frame is the caller's), then fitted without it.
template <class T>
std::vector<SpotFit> fit_frame(const py::array& frame, const std::vector<double>& ys, const std::vector<double>& xs,
                               int window, const GaussianFitOptions& options, double gain, double offset) {
  const auto viewed = view_of<2>(py::array_t<T>(frame));
  const std::size_t count = ys.size();
  std::vector<SpotFit> fits;
  fits.reserve(count);
  const std::size_t batch = kValuesPerBatch / static_cast<std::size_t>(window * window);
  for (std::size_t first = 0; first < count; first += batch) {
    const std::size_t n = std::min(batch, count - first);
    const SpotWindows windows =
        extract_spot_windows<T>(viewed.view, ys.data() + first, xs.data() + first, n, window, gain, offset);
    std::vector<SpotFit> part;
    {
      py::gil_scoped_release unlocked;
      part = fit_spots(windows, ys.data() + first, xs.data() + first, options);
    }
    fits.insert(fits.end(), part.begin(), part.end());
  }
  return fits;
}

/// The frame's element type picks the fit_frame; the Python layer hands over only these types, in
/// native byte order.
std::vector<SpotFit> fit_any(const py::array& frame, const std::vector<double>& ys, const std::vector<double>& xs,
                             int window, const GaussianFitOptions& options, double gain, double offset) {
  const py::dtype dt = frame.dtype();
  const char kind = dt.kind();
  const auto size = dt.itemsize();
  if (kind == 'f' && size == 4) return fit_frame<float>(frame, ys, xs, window, options, gain, offset);
  if (kind == 'f' && size == 8) return fit_frame<double>(frame, ys, xs, window, options, gain, offset);
  if (kind == 'u' && size == 2) return fit_frame<std::uint16_t>(frame, ys, xs, window, options, gain, offset);
  if (kind == 'u' && size == 1) return fit_frame<std::uint8_t>(frame, ys, xs, window, options, gain, offset);
  throw py::type_error("argument 'frame': element type must be float32, float64, uint16 or uint8");
}

/// The fits as a dict of per-spot arrays: y, x, photons, background, sigma, y_err, x_err (float64)
/// and converged (bool).
py::dict fit_columns(const std::vector<SpotFit>& fits) {
  std::vector<double> y, x, photons, background, sigma, y_err, x_err;
  std::vector<std::uint8_t> converged;
  for (const SpotFit& f : fits) {
    y.push_back(f.y);
    x.push_back(f.x);
    photons.push_back(f.photons);
    background.push_back(f.background);
    sigma.push_back(f.sigma);
    y_err.push_back(f.y_err);
    x_err.push_back(f.x_err);
    converged.push_back(f.converged ? 1 : 0);
  }
  py::dict result;
  result["y"] = to_numpy(std::move(y));
  result["x"] = to_numpy(std::move(x));
  result["photons"] = to_numpy(std::move(photons));
  result["background"] = to_numpy(std::move(background));
  result["sigma"] = to_numpy(std::move(sigma));
  result["y_err"] = to_numpy(std::move(y_err));
  result["x_err"] = to_numpy(std::move(x_err));
  const auto n = static_cast<py::ssize_t>(fits.size());
  result["converged"] = to_numpy(std::move(converged), {n}, py::dtype::of<bool>());
  return result;
}

py::dict refine_spots(const py::array& frame, const py::array_t<double, py::array::c_style>& y,
                      const py::array_t<double, py::array::c_style>& x, int window,
                      std::optional<double> sigma, double gain, double offset) {
  if (frame.ndim() != 2) throw py::value_error("argument 'frame': must be a 2-D array");
  if (y.ndim() != 1 || x.ndim() != 1 || y.shape(0) != x.shape(0))
    throw py::value_error("arguments 'y' and 'x': must be 1-D arrays of one length");
  const GaussianFitOptions options{sigma ? *sigma : std::numeric_limits<double>::quiet_NaN()};
  validate_fit_settings(window, options.sigma, gain, offset);

  const auto count = static_cast<std::size_t>(y.shape(0));
  const auto rows = view_of<1>(y);
  const auto cols = view_of<1>(x);
  const std::vector<double> ys(rows.view.data, rows.view.data + count);
  const std::vector<double> xs(cols.view.data, cols.view.data + count);
  return fit_columns(fit_any(frame, ys, xs, window, options, gain, offset));
}

}  // namespace

void bind_refine(py::module_& m) {
  m.def("refine_spots", &refine_spots, py::arg("frame"), py::arg("y"), py::arg("x"),
        py::arg("window"), py::arg("sigma"), py::arg("gain"), py::arg("offset"),
        "Poisson maximum-likelihood fits of a pixel-integrated Gaussian around each (y, x); "
        "returns a dict of per-spot arrays.");
}

}  // namespace quorlin::track
