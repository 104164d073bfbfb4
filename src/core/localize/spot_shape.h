// The measures a spot shares in 2-D and 3-D, written once over the dimension: missing pixels in
// its window, the background on the window's border, the single-pixel (hot-pixel) test, and its
// mass and size.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/array_view.h"
#include "common/median.h"

namespace quorlin {

/// A pixel (voxel) index, axis 0 first.
template <std::size_t D>
using Index = std::array<std::int64_t, D>;

/// A peak is a single-pixel spike when its neighbours (8 in 2-D, 26 in 3-D) together hold less
/// than this share of its own height above the background: an optical spot of Gaussian width
/// sigma gives the 8 of a 2-D peak about 8 exp(-1 / (2 sigma^2)) (4.8 at 1.3 pixels, still 2.7 at
/// 0.8, the width of a spot sampled at the Nyquist rate), and more in 3-D, a hot pixel nothing
/// but noise.
constexpr float kMinNeighbourShare = 1.0f;

/// Median of |z| for normally distributed z of unit variance.
constexpr float kMedianAbsNormal = 0.6745f;

/// Whether index i lies in the view.
template <std::size_t D>
bool inside(const StridedView<float, D>& v, const Index<D>& i) {
  for (std::size_t a = 0; a < D; ++a)
    if (i[a] < 0 || i[a] >= static_cast<std::int64_t>(v.shape[a])) return false;
  return true;
}

/// The value at index i (which lies in the view).
template <std::size_t D>
float value_at(const StridedView<float, D>& v, const Index<D>& i) {
  std::int64_t offset = 0;
  for (std::size_t a = 0; a < D; ++a) offset += i[a] * v.strides[a];
  return v.data[offset];
}

namespace shape_detail {

/// The loop over axis A of a cube and, inside it, those over the later axes: nested loops the
/// compiler sees whole.
template <std::size_t A, std::size_t D, class Visit>
void cube_axis(const Index<D>& centre, std::int64_t half, Index<D>& at, Index<D>& offset, Visit& visit) {
  for (offset[A] = -half; offset[A] <= half; ++offset[A]) {
    at[A] = centre[A] + offset[A];
    if constexpr (A + 1 == D)
      visit(static_cast<const Index<D>&>(at), static_cast<const Index<D>&>(offset));
    else
      cube_axis<A + 1, D>(centre, half, at, offset, visit);
  }
}

/// The loop over axis A of a cube's border and those over the later axes; `edge`: an earlier axis
/// lies on the border, so every index of the last axis does too, else only its two ends.
template <std::size_t A, std::size_t D, class Visit>
void border_axis(const Index<D>& centre, std::int64_t half, bool edge, Index<D>& at, Visit& visit) {
  if constexpr (A + 1 == D) {
    for (std::int64_t last = -half; last <= half; last += edge ? 1 : 2 * half) {
      at[A] = centre[A] + last;
      visit(static_cast<const Index<D>&>(at));
    }
  } else {
    for (std::int64_t o = -half; o <= half; ++o) {
      at[A] = centre[A] + o;
      border_axis<A + 1, D>(centre, half, edge || o == -half || o == half, at, visit);
    }
  }
}

}  // namespace shape_detail

/// Calls visit(index, offset) for every index of the cube of half-side `half` around `centre`
/// (offset = index - centre), the last axis fastest.
template <std::size_t D, class Visit>
void for_each_in_cube(const Index<D>& centre, std::int64_t half, Visit&& visit) {
  Index<D> at, offset;
  shape_detail::cube_axis<0, D>(centre, half, at, offset, visit);
}

/// Calls visit(index) for every index on the border of the cube of half-side `half` around
/// `centre` (Chebyshev distance `half`), the last axis fastest: where no other axis lies on the
/// border, only the last axis's two ends do.
template <std::size_t D, class Visit>
void for_each_on_border(const Index<D>& centre, std::int64_t half, Visit&& visit) {
  if (half == 0) {
    visit(centre);
    return;
  }
  Index<D> at;
  shape_detail::border_axis<0, D>(centre, half, false, at, visit);
}

/// Whether any pixel of the cube of half-side `half` around p (within the view) is missing: NaN or
/// infinite.
template <std::size_t D>
bool has_nan(const StridedView<float, D>& v, const Index<D>& p, std::int64_t half) {
  bool found = false;
  for_each_in_cube<D>(p, half, [&](const Index<D>& at, const Index<D>&) {
    found = found || (inside(v, at) && !std::isfinite(value_at(v, at)));
  });
  return found;
}

/// Median of the finite in-view pixels on the border of the cube of half-side `half` around p
/// (those at Chebyshev distance `half`); the value at p when there are none.
template <std::size_t D>
float border_median(const StridedView<float, D>& v, const Index<D>& p, std::int64_t half) {
  thread_local std::vector<float> border;
  border.clear();
  for_each_on_border<D>(p, half, [&](const Index<D>& at) {
    if (!inside(v, at)) return;
    const float value = value_at(v, at);
    if (std::isfinite(value)) border.push_back(value);
  });
  return border.empty() ? value_at(v, p) : median_of(border);
}

/// The brightest pixel of the cube of half-side 1 around p within the view (p on ties; NaN passed
/// over); with `sign` -1 the darkest.
template <std::size_t D>
Index<D> brightest_near(const StridedView<float, D>& v, const Index<D>& p, float sign = 1.0f) {
  Index<D> top = p;
  for_each_in_cube<D>(p, 1, [&](const Index<D>& at, const Index<D>&) {
    if (inside(v, at) && sign * value_at(v, at) > sign * value_at(v, top)) top = at;
  });
  return top;
}

/// Whether the peak found at p is a single-pixel spike: the brightest finite pixel of its cube
/// of half-side 1 (the peak itself, or a spike beside it, as at a frame's edge where peaks are
/// not looked for) stands above the background while its neighbours in the view hold almost none
/// of that height. With `sign` -1, whether the dip found at p is a single-pixel dip (a cold or
/// very noisy pixel below the background): the same test on the frame turned over.
template <std::size_t D>
bool is_spike(const StridedView<float, D>& v, const Index<D>& p, float background, float sign = 1.0f) {
  const Index<D> top = brightest_near<D>(v, p, sign);
  const float height = sign * (value_at(v, top) - background);
  if (!(height > 0.0f)) return false;
  float around = 0.0f;
  for_each_in_cube<D>(top, 1, [&](const Index<D>& at, const Index<D>&) {
    if (at != top && inside(v, at) && std::isfinite(value_at(v, at))) around += sign * (value_at(v, at) - background);
  });
  return around < kMinNeighbourShare * height;
}

/// Calls visit(at, value) for each finite in-view pixel of the ball of radius `half` around p, in
/// the cube's order.
template <std::size_t D, class Visit>
void for_each_in_ball(const StridedView<float, D>& v, const Index<D>& p, std::int64_t half, Visit&& visit) {
  for_each_in_cube<D>(p, half, [&](const Index<D>& at, const Index<D>& offset) {
    std::int64_t reach = 0;
    for (std::size_t a = 0; a < D; ++a) reach += offset[a] * offset[a];
    if (reach > half * half || !inside(v, at)) return;
    const float value = value_at(v, at);
    if (std::isfinite(value)) visit(at, value);
  });
}

/// Mass (sum of value - background) and size of the finite in-view pixels of the ball of radius
/// `half` around the peak pixel p; size is sqrt(second moment about `centre` / (D mass)), the
/// sigma of a Gaussian spot, NaN when mass or moment is not positive. Positions in pixels.
template <std::size_t D>
std::pair<float, float> mass_and_size(const StridedView<float, D>& v, const Index<D>& p, std::int64_t half,
                                      float background, const std::array<float, D>& centre) {
  float mass = 0.0f, moment = 0.0f;
  for_each_in_ball<D>(v, p, half, [&](const Index<D>& at, float value) {
    const float above = value - background;
    float distance = 0.0f;
    for (std::size_t a = 0; a < D; ++a) {
      const float d = static_cast<float>(at[a]) - centre[a];
      distance += d * d;
    }
    mass += above;
    moment += above * distance;
  });
  const float size = mass > 0.0f && moment > 0.0f
                         ? std::sqrt(moment / (static_cast<float>(D) * mass))
                         : std::numeric_limits<float>::quiet_NaN();
  return {mass, size};
}

/// Significance of the light of the ball of radius `half` around the peak pixel p, in noise
/// sigmas: the mass (sum of value - background over its finite in-view pixels) over the noise of
/// that sum, each pixel of `pixel_variance`. NaN when the ball has no finite pixel.
template <std::size_t D>
float mass_sigmas(const StridedView<float, D>& v, const Index<D>& p, std::int64_t half, float background,
                  float pixel_variance) {
  float mass = 0.0f;
  std::int64_t count = 0;
  for_each_in_ball<D>(v, p, half, [&](const Index<D>&, float value) {
    mass += value - background;
    ++count;
  });
  return mass / std::sqrt(static_cast<float>(count) * pixel_variance);
}

}  // namespace quorlin
