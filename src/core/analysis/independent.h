// The effective number of independent squared displacements of one lag in a track.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorlin {

/// Effective number of independent squared displacements of lag t in a track spanning n frames,
/// 1 <= t <= n - 1 (Qian, Sheetz & Elson, Biophys. J. 60, 910, 1991): the squared displacements
/// of one lag overlap, so they are worth fewer than their count.
double independent_displacements(double n, double t);

/// Per entry k, the sum of independent_displacements(n[k], t) over t = first[k] .. last[k]
/// (none where last[k] < first[k]), t ascending; entries in parallel.
std::vector<double> sum_independent_displacements(std::span<const double> n,
                                                  std::span<const std::uint64_t> first,
                                                  std::span<const std::uint64_t> last);

}  // namespace quorlin
