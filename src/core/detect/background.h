// The automatic detection threshold of a frame: its background level and noise estimated robustly
// (median and median absolute deviation), so that bright spots do not raise them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorlin {

/// The noise sigma of normally distributed values is this many times their median absolute
/// deviation (1 / 0.6745, the inverse normal quantile at 3/4).
constexpr double kSigmaPerMad = 1.4826;
/// The threshold lies this many noise sigmas above the background: a pure-noise pixel reaches it
/// with probability about 3e-7, so a 512 x 512 frame of noise yields well under one false peak.
constexpr double kThresholdSigmas = 5.0;

/// Background level, noise and the threshold derived from them, all in the frame's units.
struct Background {
  float median;     ///< lower median of the non-NaN values
  float mad;        ///< lower median of |v - median| over the same values (32-bit differences)
  float threshold;  ///< median + kThresholdSigmas * kSigmaPerMad * mad, in double, rounded to float
};

/// The background of the values (NaN left out); the values are reordered. Without any non-NaN
/// value the median and noise are NaN and the threshold is +infinity (no finite pixel passes).
Background background_of(std::span<float> values);

/// Value histogram of integer samples: count[v - lowest] pixels hold the value v.
struct IntegerHistogram {
  std::int64_t lowest = 0;
  std::vector<std::uint64_t> count;
};

/// The same result as background_of on the samples' float values, from their histogram (exact for
/// integers of up to 24 bits, which float32 holds exactly).
Background background_of(const IntegerHistogram& histogram);

}  // namespace quorlin
