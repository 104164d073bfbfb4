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

#include "localize/radial_symmetry2d.h"

namespace quorlin {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Pixel {
  std::int64_t row;
  std::int64_t col;
};

bool inside(const View2<float>& v, std::int64_t r, std::int64_t c) {
  return r >= 0 && c >= 0 && r < static_cast<std::int64_t>(v.shape[0]) &&
         c < static_cast<std::int64_t>(v.shape[1]);
}

/// Whether any pixel of the square of half-side `half` around p (within the frame) is NaN.
bool has_nan(const View2<float>& frame, Pixel p, std::int64_t half) {
  for (std::int64_t r = p.row - half; r <= p.row + half; ++r)
    for (std::int64_t c = p.col - half; c <= p.col + half; ++c)
      if (inside(frame, r, c) && std::isnan(frame(r, c))) return true;
  return false;
}

/// Median of the finite in-frame pixels on the border of the square of half-side `half` around
/// the peak; the peak's own value when there are none.
float border_median(const View2<float>& frame, Pixel p, std::int64_t half) {
  thread_local std::vector<float> ring;
  ring.clear();
  const auto add = [&](std::int64_t r, std::int64_t c) {
    if (!inside(frame, r, c)) return;
    const float v = frame(r, c);
    if (std::isfinite(v)) ring.push_back(v);
  };
  // Each side from one corner up to (not including) the next.
  for (std::int64_t d = -half; d < half; ++d) {
    add(p.row - half, p.col + d);
    add(p.row + d, p.col + half);
    add(p.row + half, p.col - d);
    add(p.row - d, p.col - half);
  }
  if (ring.empty()) return frame(p.row, p.col);
  const auto middle = ring.begin() + static_cast<std::ptrdiff_t>((ring.size() - 1) / 2);
  std::nth_element(ring.begin(), middle, ring.end());
  return *middle;
}

/// Whether the peak is a single-pixel spike: its neighbours hold almost none of its height.
bool is_spike(const View2<float>& frame, Pixel p, float background) {
  const float height = frame(p.row, p.col) - background;
  if (!(height > 0.0f)) return false;
  float around = 0.0f;
  for (std::int64_t dr = -1; dr <= 1; ++dr)
    for (std::int64_t dc = -1; dc <= 1; ++dc)
      if (dr != 0 || dc != 0) around += frame(p.row + dr, p.col + dc) - background;
  return around < kMinNeighbourShare * height;
}

/// Offset of the peak of a Gaussian through three positive values at -1, 0, 1; none when they do
/// not bend down or the peak lies beyond a neighbour.
std::optional<float> three_point_gaussian(float below, float centre, float above) {
  if (!(below > 0.0f && centre > 0.0f && above > 0.0f)) return std::nullopt;
  const float lb = std::log(below), lc = std::log(centre), la = std::log(above);
  const float bend = lb - 2.0f * lc + la;
  if (!(bend < 0.0f)) return std::nullopt;
  const float shift = 0.5f * (lb - la) / bend;
  if (!(std::fabs(shift) <= 1.0f)) return std::nullopt;
  return shift;
}

/// Centroid offset of the positive values of the 3 x 3 neighbourhood ((0, 0) when none).
std::array<float, 2> neighbourhood_centroid(const View2<float>& filtered, Pixel p) {
  float total = 0.0f, sum_r = 0.0f, sum_c = 0.0f;
  for (std::int64_t dr = -1; dr <= 1; ++dr) {
    for (std::int64_t dc = -1; dc <= 1; ++dc) {
      const float v = std::max(filtered(p.row + dr, p.col + dc), 0.0f);
      total += v;
      sum_r += v * static_cast<float>(dr);
      sum_c += v * static_cast<float>(dc);
    }
  }
  if (!(total > 0.0f)) return {0.0f, 0.0f};
  return {sum_r / total, sum_c / total};
}

/// The sub-pixel offset of a spot from its peak pixel, and how it was obtained.
std::pair<std::array<float, 2>, Locator> locate_spot(const View2<float>& frame, const View2<float>& filtered,
                                                     Pixel p, std::int64_t half, bool crowded, bool missing) {
  const bool whole = p.row >= half && p.col >= half &&
                     p.row + half < static_cast<std::int64_t>(frame.shape[0]) &&
                     p.col + half < static_cast<std::int64_t>(frame.shape[1]);
  if (whole && !crowded && !(missing && has_nan(frame, p, half))) {
    View2<float> window = filtered;
    window.data = &filtered(p.row - half, p.col - half);
    window.shape = {static_cast<std::uint64_t>(2 * half + 1), static_cast<std::uint64_t>(2 * half + 1)};
    const auto estimate = radial_symmetry_2d(window);
    if (estimate && std::fabs(estimate->d0) <= kMaxRadialShift && std::fabs(estimate->d1) <= kMaxRadialShift)
      return {{estimate->d0, estimate->d1}, Locator::radial_symmetry};
  }
  const auto dy = three_point_gaussian(filtered(p.row - 1, p.col), filtered(p.row, p.col),
                                       filtered(p.row + 1, p.col));
  const auto dx = three_point_gaussian(filtered(p.row, p.col - 1), filtered(p.row, p.col),
                                       filtered(p.row, p.col + 1));
  if (dy && dx) return {{*dy, *dx}, Locator::gaussian};
  return {neighbourhood_centroid(filtered, p), Locator::centroid};
}

/// Mass and size of the background-subtracted disk of radius `half` around the peak pixel, the
/// second moment taken about the spot's position.
std::pair<float, float> mass_and_size(const View2<float>& frame, Pixel p, std::int64_t half,
                                      float background, float y, float x) {
  float mass = 0.0f, moment = 0.0f;
  for (std::int64_t r = p.row - half; r <= p.row + half; ++r) {
    for (std::int64_t c = p.col - half; c <= p.col + half; ++c) {
      const std::int64_t dr = r - p.row, dc = c - p.col;
      if (dr * dr + dc * dc > half * half || !inside(frame, r, c)) continue;
      const float v = frame(r, c);
      if (!std::isfinite(v)) continue;
      const float above = v - background;
      const float ry = static_cast<float>(r) - y, rx = static_cast<float>(c) - x;
      mass += above;
      moment += above * (ry * ry + rx * rx);
    }
  }
  const float size = mass > 0.0f && moment > 0.0f ? std::sqrt(moment / (2.0f * mass)) : kNaN;
  return {mass, size};
}

}  // namespace

FrameSpots measure_spots(const View2<float>& frame, const View2<float>& filtered,
                         const View2<float>& squared_significance, const std::vector<PeakCandidate>& peaks,
                         const SpotSettings& settings) {
  const auto half = static_cast<std::int64_t>(settings.window / 2);
  FrameSpots out;
  // First set apart the peaks that are no spots, so that they crowd no one.
  std::vector<Pixel> kept;
  std::vector<float> backgrounds;
  for (const PeakCandidate& peak : peaks) {
    const Pixel p{static_cast<std::int64_t>(peak.row), static_cast<std::int64_t>(peak.col)};
    if (settings.missing_pixels && has_nan(frame, p, 1)) {
      ++out.dropped_nan;
      continue;
    }
    const float background = border_median(frame, p, half + 1);
    if (!settings.keep_hot_pixels && is_spike(frame, p, background)) {
      ++out.dropped_hot;
      continue;
    }
    kept.push_back(p);
    backgrounds.push_back(background);
  }
  // Crowding: each spot's nearest neighbour among the kept ones, through the kept spots ordered
  // by row (a band of rows is searched for each).
  const float reach = kCrowdedWindows * static_cast<float>(settings.window);
  const auto span = static_cast<std::int64_t>(std::ceil(reach));
  std::vector<std::size_t> by_row(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) by_row[i] = i;
  std::stable_sort(by_row.begin(), by_row.end(),
                   [&](std::size_t a, std::size_t b) { return kept[a].row < kept[b].row; });
  out.spots.reserve(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const Pixel p = kept[i];
    const auto first = std::lower_bound(by_row.begin(), by_row.end(), p.row - span,
                                        [&](std::size_t k, std::int64_t row) { return kept[k].row < row; });
    bool crowded = false;
    for (auto it = first; it != by_row.end() && kept[*it].row <= p.row + span && !crowded; ++it) {
      if (*it == i) continue;
      const auto dr = static_cast<float>(kept[*it].row - p.row);
      const auto dc = static_cast<float>(kept[*it].col - p.col);
      crowded = dr * dr + dc * dc < reach * reach;
    }
    const auto [offset, how] = locate_spot(frame, filtered, p, half, crowded, settings.missing_pixels);
    Spot s;
    s.y = static_cast<float>(p.row) + offset[0];
    s.x = static_cast<float>(p.col) + offset[1];
    s.signal = filtered(p.row, p.col);
    s.background = backgrounds[i];
    std::tie(s.mass, s.size) = mass_and_size(frame, p, half, s.background, s.y, s.x);
    const float square = squared_significance(p.row, p.col);
    s.snr = std::copysign(std::sqrt(std::fabs(square)), square);
    s.located_by = how;
    out.spots.push_back(s);
  }
  return out;
}

}  // namespace quorlin
