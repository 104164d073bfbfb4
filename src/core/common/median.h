// The lower median of a set of floats, by a selection without data-dependent branches: few values
// ranked against each other, more selected digit by digit of their bits. Either gives the same value
// a comparison-based selection would, while mispredicted branches (about half of a selection's
// comparisons on noisy data) no longer set its cost.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorlin {

/// Up to this many values, the median is found by ranking every value against all the others:
/// comparisons the compiler vectorizes, several times faster than a selection on the few dozen
/// pixels of a spot's border.
constexpr std::size_t kRankedMedianMax = 64;

/// Bits per digit of the digit-by-digit selection: 256 counters, which stay in L1.
constexpr int kMedianDigitBits = 8;

/// Lower median of n values by ranking: the value with fewer than (n + 1) / 2 values below it and
/// at least that many not above it. None when no value ranks so, as where some are NaN.
inline std::optional<float> ranked_median(const float* values, std::size_t n) {
  const std::size_t middle = (n - 1) / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const float v = values[i];
    std::uint32_t below = 0, not_above = 0;
    for (std::size_t j = 0; j < n; ++j) {
      below += values[j] < v ? 1u : 0u;
      not_above += values[j] <= v ? 1u : 0u;
    }
    if (below <= middle && middle < not_above) return v;
  }
  return std::nullopt;
}

/// A float's bits as an unsigned key in the order of the values: negative values reversed below
/// the positive ones (-0 just below +0, NaN beyond the infinities).
inline std::uint32_t order_key(float x) {
  const auto bits = std::bit_cast<std::uint32_t>(x);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

/// The float whose key this is.
inline float from_order_key(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) != 0 ? key & 0x7fffffffu : ~key);
}

/// The k-th smallest (from 0) of n > k values, most significant digit of their keys first: each
/// pass counts the candidates' digits, finds the digit holding rank k and keeps only the
/// candidates with it; after the last digit every candidate holds the same value.
inline float select_by_digits(const float* values, std::size_t n, std::size_t k) {
  constexpr std::uint32_t mask = (1u << kMedianDigitBits) - 1;
  std::vector<std::uint32_t> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = order_key(values[i]);
  for (int shift = 32 - kMedianDigitBits; shift >= 0 && n > 1; shift -= kMedianDigitBits) {
    std::array<std::size_t, mask + 1> count{};
    for (std::size_t i = 0; i < n; ++i) ++count[(keys[i] >> shift) & mask];
    std::uint32_t digit = 0;
    while (k >= count[digit]) k -= count[digit++];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      keys[kept] = keys[i];
      kept += ((keys[i] >> shift) & mask) == digit ? 1 : 0;
    }
    n = kept;
  }
  return from_order_key(keys[k]);
}

/// Lower median of the values, which must not be empty; with NaN among them some value of the set.
inline float median_of(const std::vector<float>& values) {
  if (values.size() <= kRankedMedianMax)
    if (const auto ranked = ranked_median(values.data(), values.size())) return *ranked;
  return select_by_digits(values.data(), values.size(), (values.size() - 1) / 2);
}

}  // namespace quorlin
