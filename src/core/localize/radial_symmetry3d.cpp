// The 3-D radial-symmetry estimator.
#include "localize/radial_symmetry3d.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/simd.h"

namespace quorlin {

namespace {

/// A dense (n0, n1, n2) grid of floats, row-major.
struct Grid3 {
  std::int64_t n0, n1, n2;
  std::vector<float> v;
  Grid3(std::int64_t a, std::int64_t b, std::int64_t c)
      : n0(a), n1(b), n2(c), v(static_cast<std::size_t>(a * b * c)) {}
  float& operator()(std::int64_t i, std::int64_t j, std::int64_t k) {
    return v[static_cast<std::size_t>((i * n1 + j) * n2 + k)];
  }
  float operator()(std::int64_t i, std::int64_t j, std::int64_t k) const { return *at(i, j, k); }
  const float* at(std::int64_t i, std::int64_t j, std::int64_t k) const {
    return v.data() + (i * n1 + j) * n2 + k;
  }
};

/// The box sums add a vector of points along axis 2 at a time, in the target's baseline set.
using L = simd::Lanes<simd::Baseline>;
constexpr auto kLanes = static_cast<std::int64_t>(L::width);

/// A zero-padded copy of d: one zero layer before and after each axis, and axis 2 further
/// rounded up to whole blocks of kLanes points.
Grid3 zero_padded(const Grid3& d) {
  const std::int64_t blocks = (d.n2 + kLanes - 1) / kLanes;
  Grid3 padded(d.n0 + 2, d.n1 + 2, blocks * kLanes + 2);
  for (std::int64_t i = 0; i < d.n0; ++i)
    for (std::int64_t j = 0; j < d.n1; ++j)
      for (std::int64_t k = 0; k < d.n2; ++k) padded(i + 1, j + 1, k + 1) = d(i, j, k);
  return padded;
}

/// 3x3x3 box sums over the in-grid neighbours divided by 27, for the three difference grids at
/// once: the border acts as if the grids were padded with zeros. Each point's 27 terms are added
/// with the axis-0 offset outermost and the axis-2 offset innermost.
///
/// The sums read zero-padded copies: adding +0.0 never changes a sum that started from +0.0, so
/// this equals skipping the outside terms. Each point's sum is a chain of 27 dependent additions;
/// running several points and the three grids side by side keeps the adder busy.
std::array<Grid3, 3> box_smooth_3x3x3(const std::array<const Grid3*, 3>& d) {
  const std::int64_t n0 = d[0]->n0, n1 = d[0]->n1, n2 = d[0]->n2;
  const std::array<Grid3, 3> padded{zero_padded(*d[0]), zero_padded(*d[1]), zero_padded(*d[2])};
  std::array<Grid3, 3> s{Grid3(n0, n1, n2), Grid3(n0, n1, n2), Grid3(n0, n1, n2)};
  for (std::int64_t i = 0; i < n0; ++i)
    for (std::int64_t j = 0; j < n1; ++j)
      for (std::int64_t k0 = 0; k0 < n2; k0 += kLanes) {
        L::Floats sum[3] = {L::splat(0.0f), L::splat(0.0f), L::splat(0.0f)};
        for (std::int64_t ii = 0; ii < 3; ++ii)
          for (std::int64_t jj = 0; jj < 3; ++jj)
            for (std::int64_t kk = 0; kk < 3; ++kk)
              for (std::size_t g = 0; g < 3; ++g)
                sum[g] = L::add(sum[g], L::load(padded[g].at(i + ii, j + jj, k0 + kk)));
        for (std::size_t g = 0; g < 3; ++g) {
          std::array<float, kLanes> lanes;
          L::store(lanes.data(), sum[g]);
          for (std::int64_t l = 0; l < kLanes && k0 + l < n2; ++l)
            s[g](i, j, k0 + l) = lanes[static_cast<std::size_t>(l)] / 27.0f;
        }
      }
  return s;
}

/// Grid-point coordinates along an axis of n voxels, centred on the window: k + (0.5 - (n-1)/2).
std::vector<float> centred_coordinates(std::uint64_t n) {
  const float offset = 0.5f - (static_cast<float>(n) - 1.0f) * 0.5f;
  std::vector<float> c(static_cast<std::size_t>(n - 1));
  for (std::size_t k = 0; k < c.size(); ++k) c[k] = static_cast<float>(k) + offset;
  return c;
}

/// The grid points' coordinates along each axis (centred_coordinates).
using GridCoordinates = std::array<std::vector<float>, 3>;

/// The three raw diagonal differences across each 2x2x2 block of the window.
std::array<Grid3, 3> diagonal_differences(const View3<float>& v) {
  const auto n0 = static_cast<std::int64_t>(v.shape[0] - 1);
  const auto n1 = static_cast<std::int64_t>(v.shape[1] - 1);
  const auto n2 = static_cast<std::int64_t>(v.shape[2] - 1);
  std::array<Grid3, 3> d{Grid3(n0, n1, n2), Grid3(n0, n1, n2), Grid3(n0, n1, n2)};
  auto& [da, db, dc] = d;
  for (std::int64_t i = 0; i < n0; ++i)
    for (std::int64_t j = 0; j < n1; ++j)
      for (std::int64_t k = 0; k < n2; ++k) {
        da(i, j, k) = v(i + 1, j + 1, k + 1) - v(i, j, k);
        db(i, j, k) = v(i + 1, j, k) - v(i, j + 1, k + 1);
        dc(i, j, k) = v(i + 1, j + 1, k) - v(i, j, k + 1);
      }
  return d;
}

/// The squared smoothed gradient magnitude at each grid point, and its weighted centroid.
struct GradientWeights {
  Grid3 mag2;
  std::array<float, 3> centroid;
};

/// Nothing when the window has no gradient at all (every magnitude 0).
std::optional<GradientWeights> gradient_weights(const std::array<Grid3, 3>& smoothed,
                                                const GridCoordinates& c) {
  const auto& [sa, sb, sc] = smoothed;
  GradientWeights g{Grid3(sa.n0, sa.n1, sa.n2), {}};
  float total = 0.0f, sum0 = 0.0f, sum1 = 0.0f, sum2 = 0.0f;
  for (std::int64_t i = 0; i < sa.n0; ++i)
    for (std::int64_t j = 0; j < sa.n1; ++j)
      for (std::int64_t k = 0; k < sa.n2; ++k) {
        const float a = sa(i, j, k), b = sb(i, j, k), cc = sc(i, j, k);
        const float m = a * a + b * b + cc * cc;
        g.mag2(i, j, k) = m;
        total += m;
        sum0 += m * c[0][static_cast<std::size_t>(i)];
        sum1 += m * c[1][static_cast<std::size_t>(j)];
        sum2 += m * c[2][static_cast<std::size_t>(k)];
      }
  if (total == 0.0f) return std::nullopt;
  g.centroid = {sum0 / total, sum1 / total, sum2 / total};
  return g;
}

/// The weighted normal equations of the point closest to the gradient lines: A p = rhs.
struct NormalEquations {
  Symmetric3 A{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  std::array<float, 3> rhs{0.0f, 0.0f, 0.0f};
};

/// Each grid point contributes the line along its gradient H, weighted by its squared magnitude
/// over |H|^2 and by the inverse distance from the centroid. With the diagonals Da ~ g0+g1+g2,
/// Db ~ g0-g1-g2 and Dc ~ g0+g1-g2, the sums and differences below recover the gradient
/// components g0, g1, g2 (half from the smoothed, half from the raw differences).
NormalEquations gradient_lines(const std::array<Grid3, 3>& raw, const std::array<Grid3, 3>& smoothed,
                               const GradientWeights& weights, const GridCoordinates& c) {
  const auto& [da, db, dc] = raw;
  const auto& [sa, sb, sc] = smoothed;
  const auto [x0, x1, x2] = weights.centroid;
  NormalEquations eq;
  for (std::int64_t i = 0; i < da.n0; ++i) {
    const float p0 = c[0][static_cast<std::size_t>(i)];
    for (std::int64_t j = 0; j < da.n1; ++j) {
      const float p1 = c[1][static_cast<std::size_t>(j)];
      for (std::int64_t k = 0; k < da.n2; ++k) {
        const float p2 = c[2][static_cast<std::size_t>(k)];
        const float Sa = sa(i, j, k), Sb = sb(i, j, k), Sc = sc(i, j, k);
        const float Da = da(i, j, k), Db = db(i, j, k), Dc = dc(i, j, k);
        const float h0 = (Sa + Sb) * 0.5f + (Da + Db) * 0.5f;
        const float h1 = (Sc - Sb) * 0.5f + (Dc - Db) * 0.5f;
        const float h2 = (Sa - Sc) * 0.5f + (Da - Dc) * 0.5f;
        const float nn = h0 * h0 + h1 * h1 + h2 * h2;
        const float e0 = p0 - x0, e1 = p1 - x1, e2 = p2 - x2;
        const float d2 = e0 * e0 + e1 * e1 + e2 * e2;
        float w = 0.0f;
        if (d2 > 0.0f && nn > 0.0f) w = (weights.mag2(i, j, k) / nn) / std::sqrt(d2);
        // The entries of 2·(H·H^T - |H|^2·I).
        const float m00 = (h1 * h1 + h2 * h2) * -2.0f;
        const float m11 = (h2 * h2 + h0 * h0) * -2.0f;
        const float m22 = (h1 * h1 + h0 * h0) * -2.0f;
        const float m01 = (2.0f * h1) * h0;
        const float m02 = (2.0f * h2) * h0;
        const float m12 = (2.0f * h2) * h1;
        eq.A += Symmetric3{w * m00, w * m01, w * m02, w * m11, w * m12, w * m22};
        eq.rhs[0] += w * (m02 * p2 + (m01 * p1 + m00 * p0));
        eq.rhs[1] += w * (m12 * p2 + (m11 * p1 + m01 * p0));
        eq.rhs[2] += w * (m22 * p2 + (m12 * p1 + m02 * p0));
      }
    }
  }
  return eq;
}

/// The solution of the equations, or the fallback where they are singular or give a NaN.
std::array<float, 3> solve_or(const NormalEquations& eq, const std::array<float, 3>& fallback) {
  const float det = eq.A.det();
  if (det == 0.0f) return fallback;
  const float inv = 1.0f / det;
  const std::array<float, 3> adj_b = eq.A.adjugate_times(eq.rhs);
  const std::array<float, 3> solved{inv * adj_b[0], inv * adj_b[1], inv * adj_b[2]};
  if (std::isnan(solved[0]) || std::isnan(solved[1]) || std::isnan(solved[2])) return fallback;
  return solved;
}

}  // namespace

std::optional<WindowPosition3d> radial_symmetry_3d(const View3<float>& v) {
  const std::array<std::uint64_t, 3> size = v.shape;
  if (size[0] < 3 || size[1] < 3 || size[2] < 3) return std::nullopt;
  const GridCoordinates c{centred_coordinates(size[0]), centred_coordinates(size[1]),
                          centred_coordinates(size[2])};
  const std::array<Grid3, 3> raw = diagonal_differences(v);
  const std::array<Grid3, 3> smoothed = box_smooth_3x3x3({&raw[0], &raw[1], &raw[2]});
  const std::optional<GradientWeights> weights = gradient_weights(smoothed, c);
  if (!weights) return std::nullopt;
  const std::array<float, 3> p = solve_or(gradient_lines(raw, smoothed, *weights, c), weights->centroid);
  WindowPosition3d out{};
  for (std::size_t r = 0; r < 3; ++r) out[r] = static_cast<float>(size[r]) * 0.5f + p[r] - 0.5f;
  return out;
}

}  // namespace quorlin
