// Saturating float-to-integer conversions: truncate toward zero, NaN to 0, clamp to the target
// range.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quorlin {

/// float -> uint64: negatives and NaN give 0, values at or above 2^64 give 2^64 - 1.
inline std::uint64_t sat_u64(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 18446744073709551616.0f) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

/// float -> int64: NaN gives 0, values out of range clamp to the nearest end.
inline std::int64_t sat_i64(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0f) return std::numeric_limits<std::int64_t>::max();
  if (v <= -9223372036854775808.0f) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

/// float -> int32: NaN gives 0, values out of range clamp to the nearest end.
inline std::int32_t sat_i32(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
  if (v <= -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

}  // namespace quorlin
