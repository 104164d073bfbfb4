// Cholesky factorisation and solution of the small symmetric systems of the spot fits.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace quorlin {

/// Replaces the lower triangle of the symmetric k x k matrix A, whose entry (i, j) `at(i, j)`
/// refers to, by its Cholesky factor L (A = L L^T), row by row; false, leaving it part done, when
/// A is not positive definite. Only entries with j <= i are read or written.
template <class At>
bool cholesky_factor(std::size_t k, At&& at) {
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = 0; j <= i; ++j) {
      double sum = at(i, j);
      for (std::size_t m = 0; m < j; ++m) sum -= at(i, m) * at(j, m);
      if (i == j) {
        if (!(sum > 0.0)) return false;
        at(i, i) = std::sqrt(sum);
      } else {
        at(i, j) = sum / at(j, j);
      }
    }
  return true;
}

/// Solves L L^T x = b in place (x holds b on entry), L the factor from cholesky_factor.
template <class At, class Vector>
void cholesky_solve(std::size_t k, At&& at, Vector& x) {
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t m = 0; m < i; ++m) x[i] -= at(i, m) * x[m];
    x[i] /= at(i, i);
  }
  for (std::size_t i = k; i-- > 0;) {
    for (std::size_t m = i + 1; m < k; ++m) x[i] -= at(m, i) * x[m];
    x[i] /= at(i, i);
  }
}

/// The same on a K x K matrix held as rows.
template <std::size_t K>
bool cholesky_factor(std::array<std::array<double, K>, K>& m) {
  return cholesky_factor(K, [&m](std::size_t i, std::size_t j) -> double& { return m[i][j]; });
}

template <std::size_t K>
void cholesky_solve(const std::array<std::array<double, K>, K>& l, std::array<double, K>& x) {
  cholesky_solve(K, [&l](std::size_t i, std::size_t j) { return l[i][j]; }, x);
}

}  // namespace quorlin
