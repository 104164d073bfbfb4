// Spots of a volume measured around the positions the 3-D detector found.
#include "localize/volume_spots.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "localize/gaussian_spot_fit.h"
#include "localize/spot_shape.h"

namespace quorlin {
namespace {

/// Voxels sampled for the noise sigma: its median to within about 2 %.
constexpr double kNoiseSamples = 8192.0;
/// Standard deviation of (v - mean of the six neighbours) for white noise of unit variance:
/// sqrt(1 + 6 / 36).
const float kSixNeighbourGain = std::sqrt(7.0f / 6.0f);

/// A spot's width starts at this share of its window's side less one: a window of side 4 sigma + 1
/// holds a spot of width sigma to two sigmas from its centre.
constexpr double kStartWidthShare = 0.25;
/// Two fitted spots closer than this many widths (the volume's, per axis) are one: noise alone
/// moves the fits of two spots of one spot apart by about 0.2 widths, and two spots this close
/// give a single peak.
constexpr double kSameSpot = 1.0;

/// Fits every spot (start positions `at`, backgrounds `background`) with the widths `sigma`
/// (fitted from there, or kept when `fixed`), the spots' positions `at` the neighbours; the
/// fitted spots, none where a fit failed.
std::vector<std::optional<GaussianSpot<3>>> fit_spots(const View3<float>& volume,
                                                      const std::vector<std::array<float, 3>>& at,
                                                      const std::vector<float>& background, std::int64_t half,
                                                      const std::array<double, 3>& sigma, bool fixed) {
  std::vector<std::optional<GaussianSpot<3>>> fits(at.size());
  for (std::size_t i = 0; i < at.size(); ++i) {
    SpotFitRequest<3> request{{at[i][0], at[i][1], at[i][2]}, half, background[i], sigma, fixed, &at, i};
    fits[i] = fit_gaussian_spot<3>(volume, request);
  }
  return fits;
}

/// The median width per axis of the fitted spots; none with fewer than kMinWidthSpots of them.
std::optional<std::array<double, 3>> median_widths(const std::vector<std::optional<GaussianSpot<3>>>& fits) {
  std::array<double, 3> median{};
  for (std::size_t a = 0; a < 3; ++a) {
    std::vector<float> widths;
    for (const auto& fit : fits)
      if (fit) widths.push_back(static_cast<float>(fit->sigma[a]));
    if (widths.size() < kMinWidthSpots) return std::nullopt;
    median[a] = median_of(widths);
  }
  return median;
}

/// The measures of a spot at `at` (peak voxel p): background, mass, size and snr (`noise`: the
/// volume's noise sigma).
VolumeSpot measured_at(const View3<float>& volume, const Index<3>& p, const std::array<float, 3>& at, std::int64_t half,
                       float noise) {
  VolumeSpot s;
  s.background = border_median<3>(volume, p, half + 1);
  std::tie(s.mass, s.size) = mass_and_size<3>(volume, p, half, s.background, at);
  const float height = value_at<3>(volume, p) - s.background;
  s.snr = noise > 0.0f ? height / noise : std::numeric_limits<float>::infinity();
  s.position = at;
  s.fitted = false;
  return s;
}

/// The voxel of a position, within the volume.
Index<3> voxel_of(const View3<float>& volume, const std::array<float, 3>& at) {
  Index<3> p;
  for (std::size_t a = 0; a < 3; ++a)
    p[a] = std::clamp(static_cast<std::int64_t>(std::nearbyint(at[a])), std::int64_t{0},
                      static_cast<std::int64_t>(volume.shape[a]) - 1);
  return p;
}

/// Each measured spot's position refined, and a spot that holds two split in two (the second
/// measured and listed after the first, with the first's source); see measure_volume_spots.
/// Returns the volume's widths per axis (none where too few spots gave them).
std::optional<std::array<double, 3>> refine_positions(const View3<float>& volume, std::int64_t half, float noise,
                                                      VolumeSpots& out) {
  std::vector<VolumeSpot>& spots = out.spots;
  std::vector<std::array<float, 3>> at;
  std::vector<float> background;
  for (const VolumeSpot& s : spots) {
    at.push_back(s.position);
    background.push_back(s.background);
  }
  const double start = kStartWidthShare * static_cast<double>(2 * half);
  const auto first = fit_spots(volume, at, background, half, {start, start, start}, false);
  std::vector<std::array<float, 3>> settled = at;
  for (std::size_t i = 0; i < spots.size(); ++i)
    if (first[i])
      for (std::size_t a = 0; a < 3; ++a) settled[i][a] = static_cast<float>(first[i]->centre[a]);
  const std::optional<std::array<double, 3>> widths = median_widths(first);
  const auto second = widths ? fit_spots(volume, settled, background, half, *widths, true) : first;
  std::vector<VolumeSpot> refined;
  std::vector<std::int64_t> source;
  for (std::size_t i = 0; i < spots.size(); ++i) {
    VolumeSpot s = spots[i];
    const auto& fit = second[i] ? second[i] : first[i];
    if (fit) {
      for (std::size_t a = 0; a < 3; ++a) s.position[a] = static_cast<float>(fit->centre[a]);
      s.fitted = true;
    }
    std::optional<std::array<GaussianSpot<3>, 2>> pair;
    if (widths && second[i] && first[i]) {
      // A pair looks like one spot widened along the line between them.
      std::size_t widest = 0;
      for (std::size_t a = 1; a < 3; ++a)
        if (first[i]->sigma[a] / (*widths)[a] > first[i]->sigma[widest] / (*widths)[widest]) widest = a;
      SpotFitRequest<3> request{second[i]->centre, half, second[i]->background, *widths, true, &settled, i};
      pair = fit_spot_pair<3>(volume, request, static_cast<double>(noise) * static_cast<double>(noise), widest);
    }
    if (pair) {
      for (std::size_t a = 0; a < 3; ++a) s.position[a] = static_cast<float>((*pair)[0].centre[a]);
    }
    refined.push_back(s);
    source.push_back(out.source[i]);
    if (pair) {
      std::array<float, 3> other;
      for (std::size_t a = 0; a < 3; ++a) other[a] = static_cast<float>((*pair)[1].centre[a]);
      VolumeSpot split = measured_at(volume, voxel_of(volume, other), other, half, noise);
      split.fitted = true;
      refined.push_back(split);
      source.push_back(out.source[i]);
    }
  }
  spots = std::move(refined);
  out.source = std::move(source);
  return widths;
}

/// Whether two fitted spots lie on one spot: closer than kSameSpot widths (per axis, the volume's
/// widths), where the detector found two peaks of one spot (a noise peak on its flank) and both fits
/// ran to it.
bool same_spot(const VolumeSpot& a, const VolumeSpot& b, const std::array<double, 3>& widths) {
  if (!a.fitted || !b.fitted) return false;
  double sum = 0.0;
  for (std::size_t k = 0; k < 3; ++k) {
    const double d = static_cast<double>(a.position[k] - b.position[k]) / widths[k];
    sum += d * d;
  }
  return sum < kSameSpot * kSameSpot;
}

}  // namespace

float volume_noise_sigma(const View3<float>& v) {
  if (v.shape[0] < 3 || v.shape[1] < 3 || v.shape[2] < 3) return 0.0f;
  const double interior = static_cast<double>((v.shape[0] - 2) * (v.shape[1] - 2) * (v.shape[2] - 2));
  const auto step = static_cast<std::int64_t>(std::max(1.0, std::floor(std::cbrt(interior / kNoiseSamples))));
  std::vector<float> deviations;
  for (std::int64_t z = 1; z + 1 < static_cast<std::int64_t>(v.shape[0]); z += step)
    for (std::int64_t y = 1; y + 1 < static_cast<std::int64_t>(v.shape[1]); y += step)
      for (std::int64_t x = 1; x + 1 < static_cast<std::int64_t>(v.shape[2]); x += step) {
        const float around = ((v(z - 1, y, x) + v(z + 1, y, x)) + (v(z, y - 1, x) + v(z, y + 1, x)) +
                              (v(z, y, x - 1) + v(z, y, x + 1))) / 6.0f;
        const float d = std::fabs(v(z, y, x) - around);
        if (std::isfinite(d)) deviations.push_back(d);
      }
  if (deviations.empty()) return 0.0f;
  return median_of(deviations) / kMedianAbsNormal / kSixNeighbourGain;
}

VolumeSpots measure_volume_spots(const View3<float>& volume, const std::vector<std::array<float, 3>>& positions,
                                 std::uint64_t window, bool keep_hot_pixels) {
  const auto half = static_cast<std::int64_t>(window / 2);
  const float noise = volume_noise_sigma(volume);
  VolumeSpots out;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const std::array<float, 3>& at = positions[i];
    // A localizer that met a missing voxel in its window leaves a NaN position.
    if (!(std::isfinite(at[0]) && std::isfinite(at[1]) && std::isfinite(at[2]))) {
      ++out.dropped_nan;
      continue;
    }
    const Index<3> p = voxel_of(volume, at);
    if (has_nan<3>(volume, p, 1)) {
      ++out.dropped_nan;
      continue;
    }
    if (!keep_hot_pixels && is_spike<3>(volume, p, border_median<3>(volume, p, half + 1))) {
      ++out.dropped_hot;
      continue;
    }
    out.spots.push_back(measured_at(volume, p, at, half, noise));
    out.source.push_back(static_cast<std::int64_t>(i));
  }
  const std::optional<std::array<double, 3>> widths = refine_positions(volume, half, noise, out);
  if (!widths) return out;
  // Of two spots on one, the first (the detector lists the brighter first) stays.
  std::vector<VolumeSpot> distinct;
  std::vector<std::int64_t> source;
  for (std::size_t j = 0; j < out.spots.size(); ++j) {
    const bool repeated = std::any_of(distinct.begin(), distinct.end(),
                                      [&](const VolumeSpot& kept) { return same_spot(kept, out.spots[j], *widths); });
    if (repeated) continue;
    distinct.push_back(out.spots[j]);
    source.push_back(out.source[j]);
  }
  out.spots = std::move(distinct);
  out.source = std::move(source);
  return out;
}

}  // namespace quorlin
