// The distance scale of a linking call.
#include "link/link_cost.h"

#include <bit>
#include <cstdio>
#include <limits>
#include <string>

#include "common/errors.h"

namespace quorlin {

DistanceScale distance_scale(float max_distance, const char* name) {
  DistanceScale scale;
  scale.max_distance = max_distance;
  scale.no_link_cost = sat_i64(kCostScale * max_distance);
  // Ten times S must not wrap (the forbidden cost of a dense matrix of this problem), and S must
  // be positive for a link to be worth making at all.
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max() / 10;
  if (scale.no_link_cost <= 0 || scale.no_link_cost > kLargest) {
    char shown[32];
    std::snprintf(shown, sizeof shown, "%.9g", static_cast<double>(max_distance));
    throw ValueError(std::string(name) + " must be at least 0.000001 and at most about " +
                     "9.2e11, got " + shown);
  }
  scale.max_distance_squared = max_distance * max_distance;
  // The reach along one axis: the largest float whose square still passes the gate, found from
  // the rounded square root by stepping one float at a time.
  float t = std::sqrt(scale.max_distance_squared);
  const float inf = std::numeric_limits<float>::infinity();
  while (std::nextafter(t, inf) * std::nextafter(t, inf) <= scale.max_distance_squared)
    t = std::nextafter(t, inf);
  while (t * t > scale.max_distance_squared) t = std::nextafter(t, 0.0f);
  scale.axis_reach = t;
  // The largest float d2 <= max_distance_squared with link_cost(d2) <= S, by bisection on the bit
  // patterns of non-negative floats, which are ordered like their values.
  std::uint32_t lo = 0, hi = std::bit_cast<std::uint32_t>(scale.max_distance_squared);
  if (link_cost(std::bit_cast<float>(hi)) <= scale.no_link_cost) {
    lo = hi;
  } else {
    while (hi - lo > 1) {  // invariant: cost(lo) <= S < cost(hi)
      const std::uint32_t mid = lo + (hi - lo) / 2;
      (link_cost(std::bit_cast<float>(mid)) <= scale.no_link_cost ? lo : hi) = mid;
    }
  }
  scale.max_linked_squared = std::bit_cast<float>(lo);
  return scale;
}

}  // namespace quorlin
