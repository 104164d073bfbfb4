// Frames of any real sample type converted to float32, and the automatic threshold computed on the
// way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "detect/background.h"

/// Calls X(T) for every real sample type a movie may hold: the kernels that read movie samples in
/// their own type are made for these, and the bindings hand an array of any of them over as is.
#define QUORLIN_FOR_EACH_SAMPLE_TYPE(X)                                                                 \
  X(std::uint8_t) X(std::int8_t) X(std::uint16_t) X(std::int16_t) X(std::uint32_t) X(std::int32_t)     \
  X(std::uint64_t) X(std::int64_t) X(float) X(double)

namespace quorlin {

/// Integer samples of at most 16 bits: their background comes from a value histogram, in one pass
/// with the conversion, instead of from selecting among the converted values.
template <class T>
constexpr bool kCountable = std::is_integral_v<T> && sizeof(T) <= 2;

/// Converts n contiguous samples to float32 into `out`; with `background` set, also returns the
/// frame's background (kept in `scratch` for sample types that have no histogram).
template <class T>
std::optional<Background> convert_samples(const T* samples, std::size_t n, float* out, bool background,
                                          std::vector<float>& scratch) {
  if constexpr (kCountable<T>) {
    if (background) {
      // One pass: convert and count over every value the type can hold.
      IntegerHistogram histogram{std::numeric_limits<T>::min(),
                                 std::vector<std::uint64_t>(std::size_t{1} << (8 * sizeof(T)), 0)};
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(samples[i]);
        ++histogram.count[static_cast<std::size_t>(static_cast<std::int64_t>(samples[i]) - histogram.lowest)];
      }
      return background_of(histogram);
    }
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(samples[i]);
  if (!background) return std::nullopt;
  scratch.assign(out, out + n);
  return background_of(std::span<float>(scratch));
}

}  // namespace quorlin
