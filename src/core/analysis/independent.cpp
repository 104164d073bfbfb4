// The effective number of independent squared displacements, and its sums over lags.
#include "analysis/independent.h"

#include "common/parallel.h"

namespace quorlin {

double independent_displacements(double n, double t) {
  const double rest = n - t;
  if (t <= n / 2) return 6 * rest * rest * t / (2 * n - t + 4 * n * t * t - 5 * t * t * t);
  return 1 / (1 + (rest * rest * rest + 5 * t - 4 * rest * rest * t - n) / (6 * rest * t * t));
}

std::vector<double> sum_independent_displacements(std::span<const double> n,
                                                  std::span<const std::uint64_t> first,
                                                  std::span<const std::uint64_t> last) {
  std::vector<double> sums(n.size(), 0.0);
  parallel_for(n.size(), [&](std::size_t k) {
    double sum = 0.0;
    for (std::uint64_t t = first[k]; t <= last[k] && t != 0; ++t)
      sum += independent_displacements(n[k], static_cast<double>(t));
    sums[k] = sum;
  });
  return sums;
}

}  // namespace quorlin
