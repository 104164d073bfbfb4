// Spots of a band-passed frame measured on the camera frame.
#include "localize/spot_measure.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <tuple>
#include <utility>

#include "detect/balanced_threshold.h"
#include "detect/bandpass.h"
#include "localize/mle_fit.h"
#include "localize/radial_symmetry2d.h"
#include "localize/spot_image.h"
#include "localize/spot_shape.h"

namespace quorlin {
namespace {

/// Steps of the disk centroid: the first moves the disk onto the spot, the second settles it.
constexpr int kCentroidSteps = 2;
/// The ring whose noise a faint spot is checked against lies between these many half-windows from
/// it: beyond the dark halo the band-pass's background square leaves around a spot, near enough
/// to be the spot's own background.
constexpr std::int64_t kRingInner = 2;
constexpr std::int64_t kRingOuter = 4;
/// The dark halo the band-pass leaves around a bright peak reaches this many half-windows from it:
/// the background square's half-side, plus the spot's own width.
constexpr float kHaloWindows = 2.0f;
/// Dips say how many peaks noise gives only when at least this share of the frame lies clear of
/// the peaks' halos.
constexpr float kMinClearShare = 0.25f;
/// A fit on the camera's pixels may land this far from the peak pixel along each axis (pixels): a
/// spike's or a missing pixel's mark on the band-passed frame can move the peak pixel by one.
constexpr float kMaxFitShift = 1.5f;
/// Fits again with the left-out pixels given the values the last fit expects there: each refit
/// takes the estimate most of the remaining way to the fit of the other pixels alone.
constexpr int kLeftOutRefits = 3;
/// Fewer ring pixels than this (a spot in a corner of a tiny frame) say nothing of the noise.
constexpr std::size_t kMinRingPixels = 16;
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

/// The spread of the significance over the ring of pixels between kRingInner and kRingOuter
/// half-windows from the spot (beyond the band-pass's dark halo around it; other spots fill few
/// of them): the median |significance| there over that of normal noise. None when the ring has
/// too few pixels in the frame.
std::optional<float> ring_spread(const View2<float>& squared_significance, const Index<2>& p, std::int64_t half) {
  thread_local std::vector<float> ring;
  ring.clear();
  const std::int64_t inner = kRingInner * half, outer = kRingOuter * half;
  for (std::int64_t r = p[0] - outer; r <= p[0] + outer; ++r) {
    for (std::int64_t c = p[1] - outer; c <= p[1] + outer; ++c) {
      if (std::max(std::abs(r - p[0]), std::abs(c - p[1])) <= inner || !inside<2>(squared_significance, {r, c}))
        continue;
      ring.push_back(std::fabs(squared_significance(r, c)));
    }
  }
  if (ring.size() < kMinRingPixels) return std::nullopt;
  return std::sqrt(median_of(ring)) / kMedianAbsNormal;
}

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

/// Width (pixels) of the Gaussians through the band-passed peak p and the pixels beside it along
/// each axis, the mean over the two axes; none where they do not bend down.
std::optional<float> peak_width(const View2<float>& filtered, const Index<2>& p) {
  const auto by = log_bend(filtered(p[0] - 1, p[1]), filtered(p[0], p[1]), filtered(p[0] + 1, p[1]));
  const auto bx = log_bend(filtered(p[0], p[1] - 1), filtered(p[0], p[1]), filtered(p[0], p[1] + 1));
  if (!by || !bx || !(*by < 0.0f && *bx < 0.0f)) return std::nullopt;
  return 0.5f * (1.0f / std::sqrt(-*by) + 1.0f / std::sqrt(-*bx));
}

/// Centroid offset of the positive values of the 3 x 3 neighbourhood ((0, 0) when none).
std::array<float, 2> neighbourhood_centroid(const View2<float>& filtered, const Index<2>& p) {
  float total = 0.0f, sum_r = 0.0f, sum_c = 0.0f;
  for (std::int64_t dr = -1; dr <= 1; ++dr) {
    for (std::int64_t dc = -1; dc <= 1; ++dc) {
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

/// Width (pixels) of the masked centroid's weights: kMaskPerPeakWidth times the frame's peak width
/// (`peak`, see peak_width), or kMaskWidthPerHalf half-windows in a frame without one.
double mask_width(std::optional<float> peak, std::int64_t half) {
  if (peak) return kMaskPerPeakWidth * static_cast<double>(*peak);
  return kMaskWidthPerHalf * static_cast<double>(half);
}

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
std::optional<std::array<float, 2>> window_centre(const View2<float>& window, std::int64_t half, double mask) {
  const auto estimate = radial_symmetry_2d(window);
  if (!estimate || !(std::fabs((*estimate)[0]) <= kMaxRadialShift && std::fabs((*estimate)[1]) <= kMaxRadialShift))
    return std::nullopt;
  if (const auto centre = masked_centroid(window, half, mask, *estimate)) return centre;
  // The two estimates err largely independently (one follows the gradients, the other the light):
  // their mean is closer to the centre than either.
  const auto centroid = disk_centroid(window, half, *estimate);
  return std::array<float, 2>{0.5f * ((*estimate)[0] + centroid[0]), 0.5f * ((*estimate)[1] + centroid[1])};
}

/// The band-passed window (side 2 half + 1) around p with the response of every spike within
/// reach taken out, written to `out`: the band-pass spread each spike over its square, and it is
/// linear, so each adds its height above its eight neighbours' median times the filter's impulse
/// response (`impulse`, set whenever there are spikes).
View2<float> spike_free_window(const View2<float>& frame, const View2<float>& filtered, const Index<2>& p,
                               std::int64_t half, const std::vector<Index<2>>& spikes,
                               const std::optional<BandpassImpulse>& impulse, std::vector<float>& out) {
  const std::int64_t side = 2 * half + 1;
  out.resize(static_cast<std::size_t>(side * side));
  for (std::int64_t r = 0; r < side; ++r)
    for (std::int64_t c = 0; c < side; ++c) out[static_cast<std::size_t>(r * side + c)] = filtered(p[0] - half + r, p[1] - half + c);
  for (const Index<2>& q : spikes) {
    if (std::abs(q[0] - p[0]) > 2 * half || std::abs(q[1] - p[1]) > 2 * half) continue;
    const float height = frame(q[0], q[1]) - border_median<2>(frame, q, 1);
    if (!std::isfinite(height)) continue;
    for (std::int64_t r = 0; r < side; ++r)
      for (std::int64_t c = 0; c < side; ++c)
        out[static_cast<std::size_t>(r * side + c)] -= height * (*impulse)(p[0] - half + r - q[0], p[1] - half + c - q[1]);
  }
  return contiguous_view<float, 2>(out.data(), {static_cast<std::uint64_t>(side), static_cast<std::uint64_t>(side)});
}

/// How the band-pass has left a spot's window (side 2 half + 1 around the peak pixel).
struct WindowState {
  bool whole;       // the window lies in the frame (else the filter's mirror image of the spot shares it)
  bool nan_window;  // a missing pixel in the window (filled for the filter)
  bool spiked;      // a spike set apart within two half-windows (spread by the filter over its square)

  /// Whether the window is the spot's own, once the spikes' responses are taken out. (Beyond the
  /// edge the filter sees the frame mirrored: a spot whose window reaches the edge meets its mirror
  /// image two half-windows away, whose light the masked centroid's weights pass over.)
  bool clean() const { return whole && !nan_window; }
};

WindowState window_state(const View2<float>& frame, const Index<2>& p, std::int64_t half, bool missing,
                         const std::vector<Index<2>>& spikes) {
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  return {p[0] >= half && p[1] >= half && p[0] + half < rows && p[1] + half < cols,
          missing && has_nan<2>(frame, p, half), spike_near(spikes, p, 2 * half)};
}

/// The band-passed window (side 2 half + 1) around p as a view into the frame.
View2<float> window_at(const View2<float>& filtered, const Index<2>& p, std::int64_t half) {
  View2<float> window = filtered;
  window.data = &filtered(p[0] - half, p[1] - half);
  window.shape = {static_cast<std::uint64_t>(2 * half + 1), static_cast<std::uint64_t>(2 * half + 1)};
  return window;
}

/// The sub-pixel offset of a spot from its peak pixel, and how it was obtained. A lone spot's comes
/// from its band-passed window (window_centre), with the responses of spikes nearby taken out
/// (they are known: spike_free_window). Where the band-pass has bent the window otherwise, cut by
/// the frame's edge (the filter mirrors the frame there, and the spot's mirror image overlaps it)
/// or around a missing pixel (filled for the filter), the camera's pixels are fitted, the missing
/// and spiked ones left out. On a textured background the window is worth more than that fit,
/// whose background is flat: the fit is kept for those bent windows. A crowded spot's offset
/// comes from its band-passed peak and its neighbours (and is refined later, see locate_beside_neighbours).
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
    if (const auto centre = window_centre(window, half, mask)) return {*centre, Locator::radial_symmetry};
  }
  if ((!state.whole || state.nan_window || state.spiked) && !crowded) {
    if (const auto offset = camera_fit(frame, p, half, background, spikes)) return {*offset, Locator::gaussian};
  }
  // The window as it is, where the fit failed.
  if (lone && state.spiked) {
    if (const auto centre = window_centre(window_at(filtered, p, half), half, mask))
      return {*centre, Locator::radial_symmetry};
  }
  const auto dy = three_point_gaussian(filtered(p[0] - 1, p[1]), filtered(p[0], p[1]),
                                       filtered(p[0] + 1, p[1]));
  const auto dx = three_point_gaussian(filtered(p[0], p[1] - 1), filtered(p[0], p[1]),
                                       filtered(p[0], p[1] + 1));
  if (dy && dx) return {{*dy, *dx}, Locator::gaussian};
  return {neighbourhood_centroid(filtered, p), Locator::centroid};
}

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

/// The spots with neighbours (`neighbours[i]`, within reach of spot i; empty for the others)
/// located again with their neighbours' light taken out of their windows, kNeighbourRounds rounds.
/// Each round first takes every such spot's light from its band-passed peak (its height less what
/// its neighbours add there, over what a unit spot gives), then, for each spot flagged `movable`,
/// takes the spikes' responses and its neighbours' light (their band-passed images, `image`) out of
/// its window and starts its masked centroid at its offset of the round before (`movable`: 2 for a
/// crowded spot, every round; 1 for a lone one, the first round only; 0 for none). `offsets` (from the
/// peak pixels `kept`) are updated in place; a spot keeps its offset where the centroid fails.
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

/// The sizes (noise sigmas, as positive numbers) of the dips of a frame's significance that noise
/// alone would give: those at least `lowest` deep and clear of every peak's halo and of missing
/// pixels, and the weight that scales their count to the whole frame; none where too little of
/// the frame lies clear. The band-pass leaves a dark halo around every bright peak (its background
/// square takes in the peak's light), deeper than the noise for a bright one. Single-pixel dips are
/// passed over, as single-pixel peaks are set apart: a dead or far noisier pixel gives them, far
/// deeper than the noise elsewhere, in every frame.
std::optional<std::pair<std::vector<float>, float>> noise_dips(const View2<float>& frame,
                                                               const View2<float>& squared_significance,
                                                               const std::vector<Peak<2>>& peaks, float lowest,
                                                               std::int64_t half, bool missing_pixels) {
  const auto reach = static_cast<std::int64_t>(kHaloWindows * static_cast<float>(half));
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  thread_local std::vector<std::uint8_t> halo;
  halo.assign(static_cast<std::size_t>(rows * cols), 0);
  const auto mark = [&](std::int64_t r, std::int64_t c) {
    for (std::int64_t i = std::max<std::int64_t>(r - reach, 0); i <= std::min(r + reach, rows - 1); ++i)
      std::fill(halo.begin() + i * cols + std::max<std::int64_t>(c - reach, 0),
                halo.begin() + i * cols + std::min(c + reach, cols - 1) + 1, std::uint8_t{1});
  };
  for (const Peak<2>& peak : peaks) mark(static_cast<std::int64_t>(peak.index[0]), static_cast<std::int64_t>(peak.index[1]));
  // Peaks are not looked for on the frame's edge: its pixels that reach `lowest` (a spot cut by
  // the edge, a hot pixel on it) leave their halos too.
  const float level = lowest * lowest;
  for (std::int64_t c = 0; c < cols; ++c) {
    if (squared_significance(0, c) >= level) mark(0, c);
    if (squared_significance(rows - 1, c) >= level) mark(rows - 1, c);
  }
  for (std::int64_t r = 1; r + 1 < rows; ++r) {
    if (squared_significance(r, 0) >= level) mark(r, 0);
    if (squared_significance(r, cols - 1) >= level) mark(r, cols - 1);
  }
  const auto clear = static_cast<float>(std::count(halo.begin(), halo.end(), std::uint8_t{0}));
  const auto pixels = static_cast<float>(rows * cols);
  if (!(clear >= kMinClearShare * pixels)) return std::nullopt;
  std::vector<float> sizes;
  for (const Peak<2>& dip : frame_dips(squared_significance, lowest * lowest, halo.data())) {
    const Index<2> p{static_cast<std::int64_t>(dip.index[0]), static_cast<std::int64_t>(dip.index[1])};
    if (missing_pixels && has_nan<2>(frame, p, 1)) continue;
    if (is_spike<2>(frame, p, border_median<2>(frame, p, half + 1), -1.0f)) continue;
    sizes.push_back(std::sqrt(-dip.intensity));
  }
  return std::pair{std::move(sizes), pixels / clear};
}

}  // namespace

std::optional<float> frame_spread(const View2<float>& squared_significance) {
  thread_local std::vector<float> sample;
  sample.clear();
  const std::uint64_t pixels = squared_significance.shape[0] * squared_significance.shape[1];
  const auto step = static_cast<std::uint64_t>(
      std::max(1.0, std::floor(std::sqrt(static_cast<double>(pixels) / static_cast<double>(kSpreadSamples)))));
  for (std::uint64_t r = step / 2; r < squared_significance.shape[0]; r += step)
    for (std::uint64_t c = step / 2; c < squared_significance.shape[1]; c += step)
      sample.push_back(std::fabs(squared_significance(static_cast<std::int64_t>(r), static_cast<std::int64_t>(c))));
  if (sample.empty()) return std::nullopt;
  return std::sqrt(median_of(sample)) / kMedianAbsNormal;
}

FrameSpots measure_spots(const View2<float>& frame, const View2<float>& filtered,
                         const View2<float>& squared_significance, const std::vector<Peak<2>>& peaks,
                         const SpotSettings& settings) {
  const auto half = static_cast<std::int64_t>(settings.window / 2);
  FrameSpots out;
  const auto significance = [&](const Index<2>& p) {
    const float square = squared_significance(p[0], p[1]);
    return std::copysign(std::sqrt(std::fabs(square)), square);
  };
  // With the automatic threshold: the dips that noise alone would give, and the threshold of the
  // peaks' significance alone, below which no spot can be kept (setting peaks apart and the
  // texture check only take spots away, which never lowers the threshold).
  const float highest = settings.min_snr.value_or(0.0f), lowest = std::min(settings.lowest_snr, highest);
  std::optional<std::pair<std::vector<float>, float>> dips;
  const auto balanced = [&](const std::vector<float>& sizes) {
    return dips ? balanced_threshold(sizes, dips->first, dips->second, lowest, highest, kFalseSpotShare,
                                     kAddedFalseSpotShare) : highest;
  };
  float threshold = -std::numeric_limits<float>::infinity();
  std::vector<float> sizes(peaks.size());
  for (std::size_t i = 0; i < peaks.size(); ++i)
    sizes[i] = significance({static_cast<std::int64_t>(peaks[i].index[0]), static_cast<std::int64_t>(peaks[i].index[1])});
  if (settings.min_snr) {
    dips = noise_dips(frame, squared_significance, peaks, lowest, half, settings.missing_pixels);
    threshold = balanced(sizes);
  }
  // Set apart the peaks that are no spots, so that they crowd no one; they are counted once the
  // threshold is known.
  std::vector<Index<2>> kept;
  std::vector<float> backgrounds, snrs, missing, spikes;
  std::vector<Index<2>> spike_pixels;
  std::vector<std::uint8_t> kept_spike;  // with keep_hot_pixels: which kept spots are spikes
  for (std::size_t i = 0; i < peaks.size(); ++i) {
    if (!(sizes[i] >= threshold)) continue;
    const Index<2> p{static_cast<std::int64_t>(peaks[i].index[0]), static_cast<std::int64_t>(peaks[i].index[1])};
    if (settings.missing_pixels && has_nan<2>(frame, p, 1)) {
      missing.push_back(sizes[i]);
      continue;
    }
    const float background = border_median<2>(frame, p, half + 1);
    const bool spike = is_spike<2>(frame, p, background);
    if (!settings.keep_hot_pixels && spike) {
      spikes.push_back(sizes[i]);
      spike_pixels.push_back(brightest_near<2>(frame, p));
      continue;
    }
    if (settings.keep_hot_pixels) kept_spike.push_back(spike);
    kept.push_back(p);
    backgrounds.push_back(background);
    snrs.push_back(sizes[i]);
  }
  // The kept spikes, stuck pixels of the camera, are no sign of faint spots: the threshold is
  // balanced on the other spots alone (the dips of spikes are passed over too, see noise_dips).
  const auto balanced_kept = [&] {
    if (!settings.keep_hot_pixels) return balanced(snrs);
    std::vector<float> counted;
    for (std::size_t i = 0; i < kept.size(); ++i)
      if (!kept_spike[i]) counted.push_back(snrs[i]);
    return balanced(counted);
  };
  if (settings.min_snr) {
    threshold = balanced_kept();
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!(snrs[i] >= threshold)) {
        snrs[i] = -std::numeric_limits<float>::infinity();
      } else if (settings.typical_spread && snrs[i] < kTextureCheck * highest) {
        const auto spread = ring_spread(squared_significance, kept[i], half);
        if (spread && *spread > *settings.typical_spread) snrs[i] *= *settings.typical_spread / *spread;
      }
    }
    threshold = balanced_kept();
    std::size_t n = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      if (!(snrs[i] >= threshold)) continue;
      kept[n] = kept[i];
      backgrounds[n] = backgrounds[i];
      snrs[n++] = snrs[i];
    }
    kept.resize(n);
    backgrounds.resize(n);
    snrs.resize(n);
  }
  const auto reaching = [&](const std::vector<float>& sizes) {
    return static_cast<std::uint64_t>(std::count_if(sizes.begin(), sizes.end(), [&](float v) { return v >= threshold; }));
  };
  out.dropped_nan = reaching(missing);
  out.dropped_hot = reaching(spikes);
  // Crowding: each spot's neighbours among the kept ones, through the kept spots ordered by row (a
  // band of rows is searched for each). A spot is crowded when one lies within `reach`; its
  // neighbours within `glow` are then taken out of its window (beyond a half-window more, a
  // neighbour's light barely reaches the window).
  const float reach = kCrowdedWindows * static_cast<float>(settings.window);
  const float glow = reach + static_cast<float>(half);
  const auto span = static_cast<std::int64_t>(std::ceil(glow));
  std::vector<std::size_t> by_row(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) by_row[i] = i;
  std::stable_sort(by_row.begin(), by_row.end(),
                   [&](std::size_t a, std::size_t b) { return kept[a][0] < kept[b][0]; });
  std::optional<BandpassImpulse> impulse;
  if (!spike_pixels.empty()) impulse.emplace(settings.noise_size, static_cast<double>(half));
  std::vector<std::vector<std::size_t>> neighbours(kept.size());
  std::vector<WindowState> states(kept.size());
  std::vector<std::array<float, 2>> offsets(kept.size());
  std::vector<Locator> how(kept.size());
  std::vector<std::uint8_t> movable(kept.size(), 0);
  std::vector<std::uint8_t> crowded(kept.size(), 0);
  std::vector<float> lone_widths, crowded_widths;
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const Index<2> p = kept[i];
    const auto first = std::lower_bound(by_row.begin(), by_row.end(), p[0] - span,
                                        [&](std::size_t k, std::int64_t row) { return kept[k][0] < row; });
    for (auto it = first; it != by_row.end() && kept[*it][0] <= p[0] + span; ++it) {
      if (*it == i) continue;
      const auto dr = static_cast<float>(kept[*it][0] - p[0]);
      const auto dc = static_cast<float>(kept[*it][1] - p[1]);
      const float distance2 = dr * dr + dc * dc;
      crowded[i] = crowded[i] || distance2 < reach * reach;
      if (distance2 <= glow * glow) neighbours[i].push_back(*it);
    }
    states[i] = window_state(frame, p, half, settings.missing_pixels, spike_pixels);
    movable[i] = states[i].clean() && !neighbours[i].empty() ? (crowded[i] ? 2 : 1) : 0;
    if (states[i].clean())
      if (const auto width = peak_width(filtered, p)) (crowded[i] ? crowded_widths : lone_widths).push_back(*width);
  }
  // The spots' width: the median over the lone spots' peaks (the same optics image them all; a
  // crowded peak is widened by its neighbour's light, and counts only where no spot is alone).
  const std::vector<float>& widths = lone_widths.empty() ? crowded_widths : lone_widths;
  const std::optional<float> peak = widths.empty() ? std::nullopt : std::optional<float>(median_of(widths));
  const double mask = mask_width(peak, half);
  for (std::size_t i = 0; i < kept.size(); ++i)
    std::tie(offsets[i], how[i]) = locate_spot(frame, filtered, kept[i], half, crowded[i] != 0, states[i], backgrounds[i],
                                               spike_pixels, impulse, mask);
  if (peak && std::any_of(movable.begin(), movable.end(), [](std::uint8_t m) { return m != 0; })) {
    if (const auto width = SpotImage::for_peak_width(*peak, settings.noise_size, half))
      locate_beside_neighbours(frame, filtered, kept, neighbours, movable, SpotImage(*width, settings.noise_size, half),
                               half, spike_pixels, impulse, mask, offsets);
  }
  out.spots.reserve(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const Index<2> p = kept[i];
    Spot s;
    s.y = static_cast<float>(p[0]) + offsets[i][0];
    s.x = static_cast<float>(p[1]) + offsets[i][1];
    s.signal = filtered(p[0], p[1]);
    s.background = backgrounds[i];
    std::tie(s.mass, s.size) = mass_and_size<2>(frame, p, half, s.background, {s.y, s.x});
    s.snr = snrs[i];
    s.located_by = how[i];
    out.spots.push_back(s);
  }
  return out;
}

}  // namespace quorlin
