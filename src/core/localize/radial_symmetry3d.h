// The 3-D radial-symmetry estimator: the centre of one bright spot in a small volume window.
#pragma once

#include <array>
#include <optional>

#include "common/array_view.h"

namespace quorlin {

/// A position inside a 3-D window in index units: the centre of voxel (i, j, k) is (i, j, k).
using WindowPosition3d = std::array<float, 3>;

/// Weighted least-squares point closest to the gradient lines through the window's grid points
/// (the points between each 2x2x2 block of voxels), in window index units. No result for a window
/// with fewer than 3 voxels along an axis or with no gradient at all. A singular system, or a
/// solution with a NaN component, gives the gradient-weighted centroid of the grid instead.
/// All arithmetic is in 32-bit floats.
std::optional<WindowPosition3d> radial_symmetry_3d(const View3<float>& window);

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

}  // namespace quorlin
