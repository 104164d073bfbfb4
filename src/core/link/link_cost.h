// The gates a (source, target) pair must pass to be linked, and the integer cost of a link.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/saturate.h"
#include "detect/peaks.h"

namespace quorlin {

/// Costs are integers in millionths of the coordinate unit: integer costs keep the optimal
/// assignment exact (no rounding can reorder two totals), and a millionth is far below the
/// precision of any localized position.
inline constexpr float kCostScale = 1000000.0f;

/// The distance gate and the integer costs of one linking call.
struct DistanceScale {
  float max_distance = 0;
  float max_distance_squared = 0;  ///< max_distance * max_distance, 32-bit product
  std::int64_t no_link_cost = 0;   ///< S = trunc(kCostScale * max_distance)
  float axis_reach = 0;            ///< largest t with t * t <= max_distance_squared (32-bit)
  /// Largest squared distance of a link worth making: within the gate and costing no more than S
  /// (a dearer link never beats staying unlinked). The cost grows with d2, so one comparison of
  /// d2 stands for both tests.
  float max_linked_squared = 0;
};

/// Derives the scale from max_distance. Raises ValueError naming max_distance (or `name`, for
/// another distance that sets a gate) when the no-link cost is not positive (zero, negative, NaN,
/// below 0.000001) or when ten times it reaches 2^63 (infinite or above about 9.2e11): the costs
/// would no longer single out the optimal links.
DistanceScale distance_scale(float max_distance, const char* name = "max_distance");

/// Squared distance of two points, 32-bit floats, the squares summed in axis order.
template <std::size_t D>
float squared_distance(const std::array<float, D>& a, const std::array<float, D>& b) {
  return detail::squared_distance<D>(a, b);
}

/// Cost of a link over squared distance d2: trunc(sqrt(d2) * kCostScale), 32-bit arithmetic.
inline std::int64_t link_cost(float d2) { return sat_i64(std::sqrt(d2) * kCostScale); }

/// Intensity test of 3-D linking: every pair of intensities passes.
struct AnyIntensity {
  bool operator()(float, float) const { return true; }
};

/// Symmetric intensity-ratio gate of 2-D linking: fails when either intensity exceeds
/// max_ratio times the other (32-bit products); equality and NaN intensities pass.
struct IntensityRatioGate {
  float max_ratio;
  bool operator()(float source, float target) const {
    return !(target > max_ratio * source) && !(source > max_ratio * target);
  }
};

/// Intensity-ratio gate of the user layer's linking, defined for intensities of any sign: two
/// equal intensities always pass (two zeros included); otherwise the two must have the same sign,
/// neither being zero, and the larger magnitude must not exceed max_ratio times the smaller one
/// (32-bit products). A NaN intensity passes, as in IntensityRatioGate.
struct SameSignRatioGate {
  float max_ratio;
  bool operator()(float source, float target) const {
    if (source == target || std::isnan(source) || std::isnan(target)) return true;
    if (source == 0.0f || target == 0.0f || std::signbit(source) != std::signbit(target))
      return false;
    const float s = std::fabs(source), t = std::fabs(target);
    return !(t > max_ratio * s) && !(s > max_ratio * t);
  }
};

}  // namespace quorlin
