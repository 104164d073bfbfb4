// Small symmetric systems of the localization estimators: accumulated entry by entry, solved by
// the adjugate (a fixed order of float operations, so results are reproducible bit for bit).
#pragma once

#include <array>
#include <cstddef>

namespace quorlin {

/// The three distinct entries of a symmetric 2x2 matrix.
struct Symmetric2 {
  float a00, a01, a11;

  /// Adds the outer product j·j^T.
  void add_outer(const std::array<float, 2>& j) {
    a00 += j[0] * j[0];
    a11 += j[1] * j[1];
    a01 += j[0] * j[1];
  }

  float det() const { return a00 * a11 - a01 * a01; }

  /// adj(A)·b.
  std::array<float, 2> adjugate_times(const std::array<float, 2>& b) const {
    return {a11 * b[0] - b[1] * a01, b[1] * a00 - a01 * b[0]};
  }
};

/// The six distinct entries of a symmetric 3x3 matrix.
struct Symmetric3 {
  float a00, a01, a02, a11, a12, a22;

  /// Entry-wise sum.
  Symmetric3& operator+=(const Symmetric3& o) {
    a00 += o.a00;
    a01 += o.a01;
    a02 += o.a02;
    a11 += o.a11;
    a12 += o.a12;
    a22 += o.a22;
    return *this;
  }

  /// Adds the outer product j·j^T.
  void add_outer(const std::array<float, 3>& j) {
    *this += Symmetric3{j[0] * j[0], j[0] * j[1], j[0] * j[2], j[1] * j[1], j[1] * j[2], j[2] * j[2]};
  }

  /// Determinant by cofactor expansion along the first row.
  float det() const {
    return a00 * (a11 * a22 - a12 * a12) - a01 * (a01 * a22 - a02 * a12) +
           a02 * (a01 * a12 - a11 * a02);
  }

  /// adj(A)·b, each component in the fixed order of its cofactor terms.
  std::array<float, 3> adjugate_times(const std::array<float, 3>& b) const {
    const float c00 = a11 * a22 - a12 * a12;
    const float c01 = a01 * a22 - a02 * a12;
    const float c02 = a01 * a12 - a11 * a02;
    const float c11 = a00 * a22 - a02 * a02;
    const float c12 = a00 * a12 - a01 * a02;
    const float c22 = a00 * a11 - a01 * a01;
    return {c00 * b[0] - c01 * b[1] + c02 * b[2], c11 * b[1] - c01 * b[0] - c12 * b[2],
            c22 * b[2] + c02 * b[0] - c12 * b[1]};
  }
};

/// The symmetric matrix type of a D-dimensional system.
template <std::size_t D>
struct SymmetricOf;
template <>
struct SymmetricOf<2> {
  using type = Symmetric2;
};
template <>
struct SymmetricOf<3> {
  using type = Symmetric3;
};

}  // namespace quorlin
