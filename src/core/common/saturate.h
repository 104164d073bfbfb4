// Saturating float-to-integer conversions: truncate toward zero, NaN to 0, clamp to the target
// range.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quorlin {

// The exclusive upper bounds of the integer ranges as floats: 2^64, 2^63 and 2^31 are exact in
// float, while the ranges' largest values (2^64 - 1, ...) are not and would round up to them.
inline constexpr float kU64End = 0x1p64f;
inline constexpr float kI64End = 0x1p63f;
inline constexpr float kI32End = 0x1p31f;

/// float -> uint64: negatives and NaN give 0, values at or above 2^64 give 2^64 - 1.
inline std::uint64_t sat_u64(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= kU64End) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

/// float -> int64: NaN gives 0, values out of range clamp to the nearest end.
inline std::int64_t sat_i64(float v) {
  if (std::isnan(v)) return 0;
  if (v >= kI64End) return std::numeric_limits<std::int64_t>::max();
  if (v <= -kI64End) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

/// float -> int32: NaN gives 0, values out of range clamp to the nearest end.
inline std::int32_t sat_i32(float v) {
  if (std::isnan(v)) return 0;
  if (v >= kI32End) return std::numeric_limits<std::int32_t>::max();
  if (v <= -kI32End) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

}  // namespace quorlin
