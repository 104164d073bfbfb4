// Index <-> position arithmetic along the axes of an extent, shared by 2-D and 3-D detection and
// localization.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quorlin {

/// How the denominator n - 1 of an axis of n samples is formed in 32-bit floats. The two forms
/// agree for every axis below 2^24 samples; above that float(n) rounds first. Detection has always
/// used float(n) - 1 and 2-D localization the exact float(n - 1), and each keeps its form so that
/// results stay bit-identical.
enum class LastIndex { float_count_minus_one, exact };

/// The physical axes of an extent (lo0, hi0, lo1, hi1, ...) laid over an array of the given
/// shape: the centre of sample 0 sits at lo, that of sample n - 1 at hi.
template <std::size_t D>
struct ExtentAxes {
  std::array<float, D> lo{};    ///< position of sample 0
  std::array<float, D> span{};  ///< hi - lo
  std::array<float, D> last{};  ///< n - 1, formed as chosen by LastIndex
  std::array<float, D> step{};  ///< span / last: the distance between neighbouring samples

  ExtentAxes(const std::array<float, 2 * D>& extent, const std::array<std::uint64_t, D>& shape,
             LastIndex form = LastIndex::float_count_minus_one) {
    for (std::size_t r = 0; r < D; ++r) {
      lo[r] = extent[2 * r];
      span[r] = extent[2 * r + 1] - extent[2 * r];
      last[r] = form == LastIndex::exact ? static_cast<float>(shape[r] - 1)
                                         : static_cast<float>(shape[r]) - 1.0f;
      step[r] = span[r] / last[r];
    }
  }

  /// Position of a (fractional) index along axis r: index * step + lo.
  float position(std::size_t r, float index) const { return index * step[r] + lo[r]; }

  /// Position of sample i along axis r with the product formed first: (span * i) / (n - 1) + lo.
  /// 3-D detection reports its voxel positions this way.
  float position_scaled_first(std::size_t r, std::uint64_t i) const {
    return (span[r] * static_cast<float>(i)) / last[r] + lo[r];
  }
};

}  // namespace quorlin
