// The windows that the per-spot fits work on, copied out of a frame and converted to photons.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Largest window side a spot fit takes: a fit keeps its per-axis profiles on the stack, and wider
/// windows hold mostly background for any spot that a detector finds.
constexpr int kMaxFitWindow = 31;
/// Fewest pixels per axis a clipped window keeps: fewer cannot separate centre, width and
/// background along that axis.
constexpr std::int64_t kMinFitSide = 3;

/// Where one spot's window lies in the frame. Rows and columns are frame pixel indices; the
/// window covers rows [row0, row0 + rows) and columns [col0, col0 + cols), the in-frame part of
/// the window centred on the pixel nearest the spot. start_y, start_x: the spot's position
/// relative to (row0, col0), in pixels.
struct WindowPlacement {
  std::int64_t row0 = 0;
  std::int64_t col0 = 0;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::size_t offset = 0;  // first value of the window in SpotWindows::photons
  double start_y = 0.0;
  double start_x = 0.0;
  bool usable = false;  // false: centre not finite or off the frame, too clipped, or a NaN pixel
};

/// Owned copies of all windows of a batch of spots, row-major per window, in photons.
struct SpotWindows {
  std::vector<WindowPlacement> placement;
  std::vector<double> photons;
};

/// Smallest PSF width a fit takes as given, pixels: the bound the fit holds a fitted width to; a
/// narrower Gaussian puts all its light in one pixel and leaves the centre undetermined.
constexpr double kMinFixedSigma = 0.3;

/// Checks the settings shared by every spot fit (sigma NaN: fitted); throws ValueError naming the
/// argument.
void validate_fit_settings(int window, double sigma, double gain, double offset);

/// Copies the window of every spot (y[i], x[i]: row and column position in pixels) out of the
/// frame, converted to photons as (value - offset) / gain. Negative photon values (read noise
/// below the offset) become 0, the smallest count a Poisson pixel can hold. Reads only pixels
/// inside the frame.
template <class T>
SpotWindows extract_spot_windows(const View2<T>& frame, const double* y, const double* x,
                                 std::size_t count, int window, double gain, double offset) {
  SpotWindows out;
  out.placement.resize(count);
  out.photons.reserve(count * static_cast<std::size_t>(window) * static_cast<std::size_t>(window));
  const auto height = static_cast<std::int64_t>(frame.shape[0]);
  const auto width = static_cast<std::int64_t>(frame.shape[1]);
  const std::int64_t half = window / 2;
  for (std::size_t i = 0; i < count; ++i) {
    WindowPlacement& p = out.placement[i];
    p.offset = out.photons.size();
    if (!std::isfinite(y[i]) || !std::isfinite(x[i])) continue;
    const double row = std::nearbyint(y[i]);
    const double col = std::nearbyint(x[i]);
    if (row < 0.0 || col < 0.0 || row >= static_cast<double>(height) ||
        col >= static_cast<double>(width))
      continue;
    const auto r = static_cast<std::int64_t>(row);
    const auto c = static_cast<std::int64_t>(col);
    p.row0 = std::max<std::int64_t>(r - half, 0);
    p.col0 = std::max<std::int64_t>(c - half, 0);
    p.rows = std::min<std::int64_t>(r + half + 1, height) - p.row0;
    p.cols = std::min<std::int64_t>(c + half + 1, width) - p.col0;
    p.start_y = y[i] - static_cast<double>(p.row0);
    p.start_x = x[i] - static_cast<double>(p.col0);
    if (p.rows < kMinFitSide || p.cols < kMinFitSide) continue;
    bool finite = true;
    for (std::int64_t a = 0; a < p.rows; ++a) {
      for (std::int64_t b = 0; b < p.cols; ++b) {
        const double v = static_cast<double>(frame(p.row0 + a, p.col0 + b));
        finite = finite && std::isfinite(v);
        out.photons.push_back(std::max((v - offset) / gain, 0.0));
      }
    }
    p.usable = finite;
  }
  return out;
}

}  // namespace quorlin
