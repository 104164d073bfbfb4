// Sub-pixel positions of the spots of a band-passed frame: the weighted centroid of each window,
// the camera fit where the band-pass bent a window, and spots located again beside their neighbours.
#include "localize/spot_locate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "localize/mle_fit.h"
#include "localize/radial_symmetry2d.h"

namespace quorlin {
namespace {

/// Steps of the disk centroid: the first moves the disk onto the spot, the second settles it.
constexpr int kCentroidSteps = 2;
/// A fit on the camera's pixels may land this far from the peak pixel along each axis (pixels): a
/// spike's or a missing pixel's mark on the band-passed frame can move the peak pixel by one.
constexpr float kMaxFitShift = 1.5f;
/// Fits again with the left-out pixels given the values the last fit expects there: each refit
/// takes the estimate most of the remaining way to the fit of the other pixels alone.
constexpr int kLeftOutRefits = 3;
/// Width (standard deviation) of the Gaussian weights of the masked centroid, as a share of the
/// width the frame's spots bend with over their band-passed peak pixel (peak_width, the median over
/// the lone spots). Narrower than the band-passed spot, the weights follow its core and pass over
/// most of what a textured background or a neighbour adds towards the window's border; wider, they
/// take in more of a faint or wide spot's light. Against 0.9, 0.75 gave 1 % less error on camera
/// movies with spots of width 1.3 (pixels) and 4 % more with spots of width 2.2 in a window of 7;
/// 1.1 gave 3 % less with the wide spots and 2 % more with the others.
constexpr double kMaskPerPeakWidth = 0.9;
/// In a frame without a lone spot's peak width, the weights' width in half-windows: three widths
/// out, the window's border hardly counts (about 0.9 of the peak width of spots a diameter of 7
/// suits).
constexpr float kMaskWidthPerHalf = 1.0f / 3.0f;
/// Each step of the masked centroid goes this many times the way to the weighted centroid: for a
/// Gaussian spot of width s under weights of width m the centroid moves m^2 / (s^2 + m^2) of the
/// way from the weights' centre to the spot's: half of it for a spot as wide as the weights, which
/// the doubled step lands on. Spots of the frame's peak width (m = kMaskPerPeakWidth s) converge
/// by a factor of 10 per step, wider ones in fewer steps than plain ones.
constexpr float kMaskStep = 2.0f;
/// The masked centroid has settled when a step moves it less than this (pixels), far below any
/// spot's precision (1e-3 changed no figure of the camera benches); it takes at most kMaskSteps
/// steps (a spot narrower than the weights swings about its centre, converging all the same).
constexpr float kMaskSettled = 5e-3f;
constexpr int kMaskSteps = 8;
/// Crowded spots are located again this many times, each round from their neighbours' positions of
/// the round before: the first round starts from the first estimates, the second from positions
/// freed of each other's light (on crowded movies a third gains nothing). A lone spot with a
/// neighbour in reach takes the first round only: its neighbours' first estimates hold already.
constexpr int kNeighbourRounds = 2;
/// A lone spot is located on the camera's pixels in a window of this many peak widths' half-side
/// where that is wider than the diameter's window: spots of the width a diameter of 7 suits (peak
/// width about 1.3 pixels, from a Gaussian spot of width 1.3) keep their window, wider ones (1.5
/// for spots of width 1.7, 1.7 for 2.2, 2.0 out of focus at 2.6) get one of half-side 4 or 5. On
/// camera movies (before the texture check of spot_measure.cpp), 2.5 against 2.25 also helped
/// spots of width 1.7 (0.218 -> 0.211 px RMS), 2.75 harmed those of 1.3 (0.155 -> 0.160).
constexpr float kWideWindowPerPeakWidth = 2.5f;
/// Width of the weights of a wide spot's centroid on the camera's pixels, in peak widths: 0.9,
/// 1.2 and 1.5 gave 0.327, 0.315 and 0.316 px RMS on spots of width 2.2 (0.361 from the
/// band-passed window; before the texture check).
constexpr double kWideMaskPerPeakWidth = 1.2;
/// A lone spot's window is moved onto its centre when that lies this far at most from the peak
/// pixel along each axis (pixels): an out-of-focus spot's flat, noisy top puts its peak pixel up
/// to about two pixels from the centre; farther, the window does not hold the spot's core.
constexpr float kMaxRecentre = 2.5f;

/// The second difference of the logarithms of three positive values at -1, 0, 1, which a Gaussian
/// of width w gives as -1 / w^2; none when a value is not positive.
std::optional<float> log_bend(float below, float centre, float above) {
  if (!(below > 0.0f && centre > 0.0f && above > 0.0f)) return std::nullopt;
  return std::log(below) - 2.0f * std::log(centre) + std::log(above);
}

/// Offset of the peak of a Gaussian through three positive values at -1, 0, 1; none when they do
/// not bend down or the peak lies beyond a neighbour.
std::optional<float> three_point_gaussian(float below, float centre, float above) {
  const auto bend = log_bend(below, centre, above);
  if (!bend || !(*bend < 0.0f)) return std::nullopt;
  const float shift = 0.5f * (std::log(below) - std::log(above)) / *bend;
  if (!(std::fabs(shift) <= 1.0f)) return std::nullopt;
  return shift;
}

}  // namespace

std::optional<float> peak_width(const View2<float>& filtered, const Index<2>& p) {
  const auto by = log_bend(filtered(p[0] - 1, p[1]), filtered(p[0], p[1]), filtered(p[0] + 1, p[1]));
  const auto bx = log_bend(filtered(p[0], p[1] - 1), filtered(p[0], p[1]), filtered(p[0], p[1] + 1));
  if (!by || !bx || !(*by < 0.0f && *bx < 0.0f)) return std::nullopt;
  return 0.5f * (1.0f / std::sqrt(-*by) + 1.0f / std::sqrt(-*bx));
}

namespace {

/// Centroid offset of the positive values of the 3 x 3 neighbourhood in the frame ((0, 0) when
/// none).
std::array<float, 2> neighbourhood_centroid(const View2<float>& filtered, const Index<2>& p) {
  float total = 0.0f, sum_r = 0.0f, sum_c = 0.0f;
  for (std::int64_t dr = -1; dr <= 1; ++dr) {
    for (std::int64_t dc = -1; dc <= 1; ++dc) {
      if (!inside<2>(filtered, {p[0] + dr, p[1] + dc})) continue;
      const float v = std::max(filtered(p[0] + dr, p[1] + dc), 0.0f);
      total += v;
      sum_r += v * static_cast<float>(dr);
      sum_c += v * static_cast<float>(dc);
    }
  }
  if (!(total > 0.0f)) return {0.0f, 0.0f};
  return {sum_r / total, sum_c / total};
}

/// Offset from the centre of the window (side 2 half + 1) of the intensity-weighted centroid of its
/// values (negative ones as 0) within the disk of radius `half` around `start`, the disk moved to
/// each new centroid in turn. `start` when the disk holds no light.
std::array<float, 2> disk_centroid(const View2<float>& window, std::int64_t half, std::array<float, 2> start) {
  const auto radius2 = static_cast<float>(half * half);
  for (int step = 0; step < kCentroidSteps; ++step) {
    float total = 0.0f, sum_r = 0.0f, sum_c = 0.0f;
    for (std::int64_t dr = -half; dr <= half; ++dr) {
      const float ry = static_cast<float>(dr) - start[0];
      for (std::int64_t dc = -half; dc <= half; ++dc) {
        const float rx = static_cast<float>(dc) - start[1];
        if (ry * ry + rx * rx > radius2) continue;
        const float v = std::max(window(dr + half, dc + half), 0.0f);
        total += v;
        sum_r += v * static_cast<float>(dr);
        sum_c += v * static_cast<float>(dc);
      }
    }
    if (!(total > 0.0f)) break;
    start = {sum_r / total, sum_c / total};
  }
  return start;
}

/// The Gaussian weights exp(-(k - centre)^2 / (2 w^2)) of the offsets k = -half .. half into `out`
/// (inverse_variance = 1 / w^2): each weight is the one before times a ratio that falls by
/// exp(-inverse_variance) from offset to offset, so two exponentials give them all.
void mask_weights(float centre, std::int64_t half, double inverse_variance, double fall, std::vector<float>& out) {
  const double first = -static_cast<double>(half) - static_cast<double>(centre);
  double weight = std::exp(-0.5 * first * first * inverse_variance);
  double ratio = std::exp(-(first + 0.5) * inverse_variance);
  out.resize(static_cast<std::size_t>(2 * half + 1));
  for (float& w : out) {
    w = static_cast<float>(weight);
    weight *= ratio;
    ratio *= fall;
  }
}

/// Offset from the centre of the window (side 2 half + 1) of the centroid of its values (negative
/// ones as 0) weighted by a Gaussian of `width` pixels (see mask_width) centred on the centroid
/// itself: the fixed point of the weighted centroid, reached from `start` in steps of kMaskStep
/// times the way to each new weighted centroid. None when the window holds no light under the
/// weights or the centroid leaves kMaxRadialShift of the centre.
std::optional<std::array<float, 2>> masked_centroid(const View2<float>& window, std::int64_t half, double width,
                                                    std::array<float, 2> start) {
  thread_local std::vector<float> light, wy, wx, wx_c;
  const auto side = static_cast<std::size_t>(2 * half + 1);
  light.resize(side * side);
  wx_c.resize(side);
  for (std::size_t r = 0; r < side; ++r)
    for (std::size_t c = 0; c < side; ++c)
      light[r * side + c] = std::max(window(static_cast<std::int64_t>(r), static_cast<std::int64_t>(c)), 0.0f);
  const double inverse_variance = 1.0 / (width * width);
  const double fall = std::exp(-inverse_variance);
  for (int step = 0; step < kMaskSteps; ++step) {
    mask_weights(start[0], half, inverse_variance, fall, wy);
    mask_weights(start[1], half, inverse_variance, fall, wx);
    for (std::size_t c = 0; c < side; ++c) wx_c[c] = wx[c] * static_cast<float>(static_cast<std::int64_t>(c) - half);
    float total = 0.0f, sum_r = 0.0f, sum_c = 0.0f;
    for (std::size_t r = 0; r < side; ++r) {
      const float* row = &light[r * side];
      float row_total = 0.0f, row_c = 0.0f;
      for (std::size_t c = 0; c < side; ++c) {
        row_total += row[c] * wx[c];
        row_c += row[c] * wx_c[c];
      }
      const float w = wy[r] * row_total;
      total += w;
      sum_r += w * static_cast<float>(static_cast<std::int64_t>(r) - half);
      sum_c += wy[r] * row_c;
    }
    if (!(total > 0.0f)) return std::nullopt;
    const std::array<float, 2> next{start[0] + kMaskStep * (sum_r / total - start[0]),
                                    start[1] + kMaskStep * (sum_c / total - start[1])};
    if (!(std::fabs(next[0]) <= kMaxRadialShift && std::fabs(next[1]) <= kMaxRadialShift)) return std::nullopt;
    const float moved = std::max(std::fabs(next[0] - start[0]), std::fabs(next[1] - start[1]));
    start = next;
    if (moved < kMaskSettled) break;
  }
  return start;
}

}  // namespace

double mask_width(std::optional<float> peak, std::int64_t half) {
  if (peak) return kMaskPerPeakWidth * static_cast<double>(*peak);
  return kMaskWidthPerHalf * static_cast<double>(half);
}

std::int64_t wide_half(std::optional<float> peak, std::int64_t half) {
  if (!peak) return half;
  return std::max(half, static_cast<std::int64_t>(std::lround(kWideWindowPerPeakWidth * *peak)));
}

namespace {

/// Share of a unit Gaussian of centre `mean` and width `sigma` (pixels) that pixel k collects
/// (it spans [k - 0.5, k + 0.5]).
double pixel_share(double k, double mean, double sigma) {
  const double scale = 1.0 / (std::sqrt(2.0) * sigma);
  return 0.5 * (std::erf((k + 0.5 - mean) * scale) - std::erf((k - 0.5 - mean) * scale));
}

/// Offset from the peak pixel p of a Gaussian spot fitted (centre, photons, background and width,
/// by maximum likelihood) to the camera's pixels of its window that lie in the frame, the missing
/// pixels and the single-pixel spikes (`spikes`) in it left out; none when the window is too wide
/// for the fit, the fit fails or lands beyond kMaxFitShift. A pixel is left out by giving it the
/// value the fit expects there (first the spot's `background`) and fitting again, kLeftOutRefits
/// times: the estimate moves towards the fit of the other pixels alone.
std::optional<std::array<float, 2>> camera_fit(const View2<float>& frame, const Index<2>& p, std::int64_t half,
                                               float background, const std::vector<Index<2>>& spikes) {
  const int side = static_cast<int>(2 * half + 1);
  if (side > kMaxFitWindow) return std::nullopt;
  const auto y = static_cast<double>(p[0]), x = static_cast<double>(p[1]);
  SpotWindows window = extract_spot_windows(frame, &y, &x, 1, side, 1.0, 0.0);
  WindowPlacement& place = window.placement[0];
  if (place.rows < kMinFitSide || place.cols < kMinFitSide) return std::nullopt;
  const auto index = [&](std::int64_t r, std::int64_t c) {
    return place.offset + static_cast<std::size_t>((r - place.row0) * place.cols + (c - place.col0));
  };
  std::vector<Index<2>> left_out;
  for (std::int64_t r = place.row0; r < place.row0 + place.rows; ++r)
    for (std::int64_t c = place.col0; c < place.col0 + place.cols; ++c)
      if (!std::isfinite(window.photons[index(r, c)])) left_out.push_back({r, c});
  for (const Index<2>& spike : spikes)
    if (spike[0] >= place.row0 && spike[0] < place.row0 + place.rows && spike[1] >= place.col0 &&
        spike[1] < place.col0 + place.cols)
      left_out.push_back(spike);
  for (const Index<2>& q : left_out) window.photons[index(q[0], q[1])] = std::max(static_cast<double>(background), 0.0);
  place.usable = true;
  SpotFit fit = fit_spots(window, &y, &x, GaussianFitOptions{std::numeric_limits<double>::quiet_NaN()})[0];
  for (int refit = 0; refit < kLeftOutRefits && !left_out.empty() && fit.converged; ++refit) {
    for (const Index<2>& q : left_out)
      window.photons[index(q[0], q[1])] =
          fit.background + fit.photons * pixel_share(static_cast<double>(q[0]), fit.y, fit.sigma) *
                               pixel_share(static_cast<double>(q[1]), fit.x, fit.sigma);
    place.start_y = fit.y - static_cast<double>(place.row0);
    place.start_x = fit.x - static_cast<double>(place.col0);
    fit = fit_spots(window, &y, &x, GaussianFitOptions{std::numeric_limits<double>::quiet_NaN()})[0];
  }
  const auto dy = static_cast<float>(fit.y - y), dx = static_cast<float>(fit.x - x);
  if (!fit.converged || !(std::fabs(dy) <= kMaxFitShift && std::fabs(dx) <= kMaxFitShift)) return std::nullopt;
  return std::array<float, 2>{dy, dx};
}

/// Whether a spike lies within `reach` pixels (along both axes) of p.
bool spike_near(const std::vector<Index<2>>& spikes, const Index<2>& p, std::int64_t reach) {
  return std::any_of(spikes.begin(), spikes.end(), [&](const Index<2>& q) {
    return std::abs(q[0] - p[0]) <= reach && std::abs(q[1] - p[1]) <= reach;
  });
}

/// The offset of a lone spot from the centre of its band-passed window (side 2 half + 1): the
/// masked centroid started at the window's radial-symmetry centre. None when radial symmetry
/// finds no centre within kMaxRadialShift of the window's centre (no one symmetric spot there).
/// `estimate` is the window's radial-symmetry centre, already found.
std::optional<std::array<float, 2>> window_centre(const View2<float>& window, std::int64_t half, double mask,
                                                  const std::optional<WindowOffset>& estimate) {
  if (!estimate || !(std::fabs((*estimate)[0]) <= kMaxRadialShift && std::fabs((*estimate)[1]) <= kMaxRadialShift))
    return std::nullopt;
  if (const auto centre = masked_centroid(window, half, mask, *estimate)) return centre;
  // The two estimates err largely independently (one follows the gradients, the other the light):
  // their mean is closer to the centre than either.
  const auto centroid = disk_centroid(window, half, *estimate);
  return std::array<float, 2>{0.5f * ((*estimate)[0] + centroid[0]), 0.5f * ((*estimate)[1] + centroid[1])};
}

/// The same, with the window's radial-symmetry centre found here.
std::optional<std::array<float, 2>> window_centre(const View2<float>& window, std::int64_t half, double mask) {
  return window_centre(window, half, mask, radial_symmetry_2d(window));
}

/// A copy of the window (side 2 half + 1) of `view` around p, less `level`, in `out` (row-major),
/// and a view of it.
View2<float> copied_window(const View2<float>& view, const Index<2>& p, std::int64_t half, float level,
                           std::vector<float>& out) {
  const std::int64_t side = 2 * half + 1;
  out.resize(static_cast<std::size_t>(side * side));
  for (std::int64_t r = 0; r < side; ++r)
    for (std::int64_t c = 0; c < side; ++c)
      out[static_cast<std::size_t>(r * side + c)] = view(p[0] - half + r, p[1] - half + c) - level;
  const auto extent = static_cast<std::uint64_t>(side);
  return contiguous_view<float, 2>(out.data(), {extent, extent});
}

/// The band-passed window (side 2 half + 1) around p with the response of every spike within
/// reach taken out, written to `out`: the band-pass spread each spike over its square, and it is
/// linear, so each adds its height above its eight neighbours' median times the filter's impulse
/// response (`impulse`, set whenever there are spikes).
View2<float> spike_free_window(const View2<float>& frame, const View2<float>& filtered, const Index<2>& p,
                               std::int64_t half, const std::vector<Index<2>>& spikes,
                               const std::optional<BandpassImpulse>& impulse, std::vector<float>& out) {
  const std::int64_t side = 2 * half + 1;
  const View2<float> window = copied_window(filtered, p, half, 0.0f, out);
  for (const Index<2>& q : spikes) {
    if (std::abs(q[0] - p[0]) > 2 * half || std::abs(q[1] - p[1]) > 2 * half) continue;
    const float height = frame(q[0], q[1]) - border_median<2>(frame, q, 1);
    if (!std::isfinite(height)) continue;
    for (std::int64_t r = 0; r < side; ++r)
      for (std::int64_t c = 0; c < side; ++c)
        out[static_cast<std::size_t>(r * side + c)] -= height * (*impulse)(p[0] - half + r - q[0], p[1] - half + c - q[1]);
  }
  return window;
}

}  // namespace

bool window_in_frame(const View2<float>& frame, const Index<2>& p, std::int64_t half) {
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  return p[0] >= half && p[1] >= half && p[0] + half < rows && p[1] + half < cols;
}

WindowState window_state(const View2<float>& frame, const Index<2>& p, std::int64_t half, bool missing,
                         const std::vector<Index<2>>& spikes) {
  return {window_in_frame(frame, p, half), missing && has_nan<2>(frame, p, half), spike_near(spikes, p, 2 * half)};
}

std::optional<std::array<float, 2>> wide_spot_centre(const View2<float>& frame, const Index<2>& p, std::int64_t wide,
                                                     float background, float peak, std::array<float, 2> start,
                                                     bool missing, const std::vector<Index<2>>& spikes) {
  if (!window_in_frame(frame, p, wide) || (missing && has_nan<2>(frame, p, wide)) || spike_near(spikes, p, wide))
    return std::nullopt;
  thread_local std::vector<float> light;
  return masked_centroid(copied_window(frame, p, wide, background, light), wide,
                         kWideMaskPerPeakWidth * static_cast<double>(peak), start);
}

namespace {

/// The band-passed window (side 2 half + 1) around p as a view into the frame.
View2<float> window_at(const View2<float>& filtered, const Index<2>& p, std::int64_t half) {
  View2<float> window = filtered;
  window.data = &filtered(p[0] - half, p[1] - half);
  window.shape = {static_cast<std::uint64_t>(2 * half + 1), static_cast<std::uint64_t>(2 * half + 1)};
  return window;
}

/// The offset from p of a lone spot whose centre, its window's radial-symmetry centre `shift`,
/// lies beyond kMaxRadialShift of its peak pixel (a wide, faint spot, out of focus, whose
/// band-passed top is flat and noisy): the window moved once onto the pixel nearest that centre,
/// at most kMaxRecentre pixels along each axis, and the spot's centre found there. None beyond
/// kMaxRecentre, or where the moved window leaves the frame or finds no centre.
std::optional<std::array<float, 2>> recentred(const View2<float>& filtered, const Index<2>& p, std::int64_t half,
                                              double mask, const WindowOffset& shift) {
  if (!(std::fabs(shift[0]) <= kMaxRecentre && std::fabs(shift[1]) <= kMaxRecentre)) return std::nullopt;
  const Index<2> q{p[0] + static_cast<std::int64_t>(std::lround(shift[0])),
                   p[1] + static_cast<std::int64_t>(std::lround(shift[1]))};
  if (!window_in_frame(filtered, q, half)) return std::nullopt;
  const auto centre = window_centre(window_at(filtered, q, half), half, mask);
  if (!centre) return std::nullopt;
  return std::array<float, 2>{static_cast<float>(q[0] - p[0]) + (*centre)[0],
                              static_cast<float>(q[1] - p[1]) + (*centre)[1]};
}

}  // namespace

std::pair<std::array<float, 2>, Locator> locate_spot(const View2<float>& frame, const View2<float>& filtered,
                                                     const Index<2>& p, std::int64_t half, bool crowded,
                                                     const WindowState& state, float background,
                                                     const std::vector<Index<2>>& spikes,
                                                     const std::optional<BandpassImpulse>& impulse, double mask) {
  const bool lone = state.clean() && !crowded;
  if (lone) {
    thread_local std::vector<float> cleaned;
    const View2<float> window = state.spiked ? spike_free_window(frame, filtered, p, half, spikes, impulse, cleaned)
                                             : window_at(filtered, p, half);
    const auto estimate = radial_symmetry_2d(window);
    if (const auto centre = window_centre(window, half, mask, estimate)) return {*centre, Locator::radial_symmetry};
    // The estimate lay too far from the peak pixel (or there was none): move the window onto it.
    if (estimate && !state.spiked)
      if (const auto centre = recentred(filtered, p, half, mask, *estimate)) return {*centre, Locator::radial_symmetry};
  }
  if ((!state.whole || state.nan_window || state.spiked) && !crowded) {
    if (const auto offset = camera_fit(frame, p, half, background, spikes)) return {*offset, Locator::gaussian};
  }
  // The window as it is, where the fit failed.
  if (lone && state.spiked) {
    if (const auto centre = window_centre(window_at(filtered, p, half), half, mask))
      return {*centre, Locator::radial_symmetry};
  }
  // A peak on the frame's edge has no pixel beyond it to bend over.
  if (window_in_frame(filtered, p, 1)) {
    const auto dy = three_point_gaussian(filtered(p[0] - 1, p[1]), filtered(p[0], p[1]),
                                         filtered(p[0] + 1, p[1]));
    const auto dx = three_point_gaussian(filtered(p[0], p[1] - 1), filtered(p[0], p[1]),
                                         filtered(p[0], p[1] + 1));
    if (dy && dx) return {{*dy, *dx}, Locator::gaussian};
  }
  return {neighbourhood_centroid(filtered, p), Locator::centroid};
}

namespace {

/// Takes a neighbour's band-passed light out of the window (side 2 half + 1 around p, row-major):
/// `light` times the band-passed image of a spot centred at (y, x).
void take_out_neighbour(std::vector<float>& window, const Index<2>& p, std::int64_t half, float y, float x, double light,
                        const SpotImage& image) {
  thread_local std::vector<double> sy, sx, qy, qx;
  const std::int64_t side = 2 * half + 1;
  for (std::vector<double>* v : {&sy, &sx, &qy, &qx}) v->resize(static_cast<std::size_t>(side));
  for (std::int64_t k = 0; k < side; ++k) {
    const auto u = static_cast<std::size_t>(k);
    const double dy = static_cast<double>(p[0] - half + k) - y, dx = static_cast<double>(p[1] - half + k) - x;
    sy[u] = light * image.smoothed(dy);
    qy[u] = light * image.inverse_area() * image.in_square(dy);
    sx[u] = image.smoothed(dx);
    qx[u] = image.in_square(dx);
  }
  for (std::int64_t r = 0; r < side; ++r)
    for (std::int64_t c = 0; c < side; ++c) {
      const auto ur = static_cast<std::size_t>(r), uc = static_cast<std::size_t>(c);
      window[static_cast<std::size_t>(r * side + c)] -= static_cast<float>(sy[ur] * sx[uc] - qy[ur] * qx[uc]);
    }
}

}  // namespace

void locate_beside_neighbours(const View2<float>& frame, const View2<float>& filtered,
                              const std::vector<Index<2>>& kept, const std::vector<std::vector<std::size_t>>& neighbours,
                              const std::vector<std::uint8_t>& movable, const SpotImage& image, std::int64_t half,
                              const std::vector<Index<2>>& spikes, const std::optional<BandpassImpulse>& impulse,
                              double mask, std::vector<std::array<float, 2>>& offsets) {
  std::vector<double> light(kept.size(), 0.0);
  thread_local std::vector<float> window;
  for (int round = 0; round < kNeighbourRounds; ++round) {
    std::vector<double> next_light(kept.size(), 0.0);
    for (std::size_t j = 0; j < kept.size(); ++j) {
      if (neighbours[j].empty()) continue;
      const Index<2> p = kept[j];
      double others = 0.0;
      for (const std::size_t k : neighbours[j])
        others += light[k] * image(static_cast<double>(p[0] - kept[k][0]) - offsets[k][0],
                                   static_cast<double>(p[1] - kept[k][1]) - offsets[k][1]);
      const double own = image(-static_cast<double>(offsets[j][0]), -static_cast<double>(offsets[j][1]));
      if (own > 0.0) next_light[j] = std::max((static_cast<double>(filtered(p[0], p[1])) - others) / own, 0.0);
    }
    light = std::move(next_light);
    std::vector<std::array<float, 2>> next = offsets;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!movable[i] || (round > 0 && movable[i] < 2)) continue;
      const Index<2> p = kept[i];
      const View2<float> view = spike_free_window(frame, filtered, p, half, spikes, impulse, window);
      for (const std::size_t j : neighbours[i])
        take_out_neighbour(window, p, half, static_cast<float>(kept[j][0]) + offsets[j][0],
                           static_cast<float>(kept[j][1]) + offsets[j][1], light[j], image);
      if (const auto centre = masked_centroid(view, half, mask, offsets[i])) next[i] = *centre;
    }
    offsets = std::move(next);
  }
}

}  // namespace quorlin
