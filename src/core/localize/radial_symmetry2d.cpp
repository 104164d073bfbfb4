// The 2-D radial-symmetry estimator.
#include "localize/radial_symmetry2d.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorlin {

namespace {

/// The slope given to a vertical gradient line (infinite slope): steep enough that the line is
/// vertical to float precision over any window, finite so the sums below stay finite.
constexpr float kVerticalSlope = 1000000.0f;
/// Grids of up to this many points (a 65 x 65 window) keep their scratch per thread from call to
/// call, so that refining a spot allocates nothing; larger ones get it fresh, so a rare huge window
/// holds no memory after its call.
constexpr std::size_t kKeptGridPoints = 64 * 64;
/// The least distance of a grid point from the gradient centroid in the weights 1/distance: keeps
/// a point on the centroid from dividing by zero while far below the grid spacing of 1.
constexpr float kMinCentroidDistance = 0.0001f;

/// 3x3 box sum over the in-grid neighbours divided by 9; the border acts as if padded with zeros.
/// The axis-0 offset is the outer loop, the axis-1 offset the inner one, both from low to high.
void box_smooth_3x3(const std::vector<float>& d, std::vector<float>& s, std::int64_t rows,
                    std::int64_t cols) {
  // Points with all eight neighbours in the grid: the same sum in the same order, unchecked.
  for (std::int64_t i = 1; i + 1 < rows; ++i) {
    const float* up = &d[static_cast<std::size_t>((i - 1) * cols)];
    const float* mid = up + cols;
    const float* down = mid + cols;
    for (std::int64_t j = 1; j + 1 < cols; ++j) {
      float sum = 0.0f;
      sum += up[j - 1];
      sum += up[j];
      sum += up[j + 1];
      sum += mid[j - 1];
      sum += mid[j];
      sum += mid[j + 1];
      sum += down[j - 1];
      sum += down[j];
      sum += down[j + 1];
      s[static_cast<std::size_t>(i * cols + j)] = sum / 9.0f;
    }
  }
  // The points on the grid's border, checked neighbour by neighbour.
  for (std::int64_t i = 0; i < rows; ++i) {
    const bool edge_row = i == 0 || i + 1 == rows;
    for (std::int64_t j = 0; j < cols; j += edge_row || j + 1 == cols ? 1 : cols - 1) {
      float sum = 0.0f;
      for (std::int64_t di = -1; di <= 1; ++di) {
        const std::int64_t ii = i + di;
        if (ii < 0 || ii >= rows) continue;
        for (std::int64_t dj = -1; dj <= 1; ++dj) {
          const std::int64_t jj = j + dj;
          if (jj < 0 || jj >= cols) continue;
          sum += d[ii * cols + jj];
        }
      }
      s[i * cols + j] = sum / 9.0f;
    }
  }
}

/// The window's gradients along the two diagonals of each 2x2 block (d1, d2: rows - 1 by cols - 1,
/// row-major) and the same smoothed by the 3x3 box (s1, s2).
struct Gradients {
  std::vector<float> d1, d2, s1, s2;
};

/// Fills `out` (every value of it is written).
void diagonal_gradients(const View2<float>& v, std::int64_t rows, std::int64_t cols, Gradients& out) {
  const std::size_t n = static_cast<std::size_t>(rows * cols);
  for (std::vector<float>* grid : {&out.d1, &out.d2, &out.s1, &out.s2}) grid->resize(n);
  for (std::int64_t i = 0; i < rows; ++i) {
    for (std::int64_t j = 0; j < cols; ++j) {
      out.d1[i * cols + j] = v(i + 1, j) - v(i, j + 1);
      out.d2[i * cols + j] = v(i, j) - v(i + 1, j + 1);
    }
  }
  box_smooth_3x3(out.d1, out.s1, rows, cols);
  box_smooth_3x3(out.d2, out.s2, rows, cols);
}

/// Each grid point's gradient line q = m p + b (p along axis 0, q along axis 1, from the window
/// centre) and squared gradient g, and the gradient-weighted centroid (r_bar, c_bar) of the grid.
struct GradientLines {
  std::vector<float> m, b, g;
  float r_bar = 0.0f;
  float c_bar = 0.0f;
};

/// Fills `out` (every value of it is written).
void gradient_lines(const Gradients& grad, std::int64_t rows, std::int64_t cols, float r_offset, float c_offset,
                    GradientLines& out) {
  const std::size_t n = static_cast<std::size_t>(rows * cols);
  for (std::vector<float>* grid : {&out.m, &out.b, &out.g}) grid->resize(n);
  const std::vector<float>& d1 = grad.d1;
  const std::vector<float>& d2 = grad.d2;
  const std::vector<float>& s1 = grad.s1;
  const std::vector<float>& s2 = grad.s2;
  float total = 0.0f, sum_gr = 0.0f, sum_gc = 0.0f;
  for (std::int64_t i = 0; i < rows; ++i) {
    const float r = static_cast<float>(i) + r_offset;
    for (std::int64_t j = 0; j < cols; ++j) {
      const std::size_t k = static_cast<std::size_t>(i * cols + j);
      const float c = static_cast<float>(j) + c_offset;
      float slope = -(s1[k] + s2[k]) / (s1[k] - s2[k]);
      if (std::isnan(slope)) slope = (d1[k] + d2[k]) / (d1[k] - d2[k]);
      if (std::isnan(slope)) slope = 0.0f;
      if (std::isinf(slope)) slope = kVerticalSlope;
      out.m[k] = slope;
      out.b[k] = c - slope * r;
      out.g[k] = s1[k] * s1[k] + s2[k] * s2[k];
      total += out.g[k];
      sum_gr += out.g[k] * r;
      sum_gc += out.g[k] * c;
    }
  }
  const float divisor = total == 0.0f ? 1.0f : total;
  out.r_bar = sum_gr / divisor;
  out.c_bar = sum_gc / divisor;
}

/// The estimator's grids.
struct Workspace {
  Gradients gradients;
  GradientLines lines;
};

/// The point nearest to every gradient line in the least-squares sense, each line weighted by its
/// squared gradient over its grid point's distance from the centroid; none where the normal
/// equations are singular.
std::optional<WindowOffset> nearest_to_lines(const GradientLines& lines, std::int64_t rows, std::int64_t cols,
                                             float r_offset, float c_offset) {
  const std::vector<float>& m = lines.m;
  const std::vector<float>& b = lines.b;
  const std::vector<float>& g = lines.g;
  const float r_bar = lines.r_bar;
  const float c_bar = lines.c_bar;
  float sk = 0.0f, skmm = 0.0f, skm = 0.0f, skmb = 0.0f, skb = 0.0f;
  for (std::int64_t i = 0; i < rows; ++i) {
    const float r = static_cast<float>(i) + r_offset;
    for (std::int64_t j = 0; j < cols; ++j) {
      const std::size_t k = static_cast<std::size_t>(i * cols + j);
      const float c = static_cast<float>(j) + c_offset;
      float dist = std::sqrt((r - r_bar) * (r - r_bar) + (c - c_bar) * (c - c_bar));
      // The floor keeps a grid point on the centroid from dividing by zero; NaN stays NaN.
      if (dist < kMinCentroidDistance) dist = kMinCentroidDistance;
      const float w = g[k] / dist;
      const float kk = w / (m[k] * m[k] + 1.0f);
      const float km = kk * m[k];
      sk += kk;
      skmm += km * m[k];
      skm += km;
      skmb += km * b[k];
      skb += kk * b[k];
    }
  }
  const float det = skm * skm - skmm * sk;
  if (det == 0.0f) return std::nullopt;
  return WindowOffset{(skmb * sk - skb * skm) / det, (skmb * skm - skb * skmm) / det};
}

}  // namespace

std::optional<WindowOffset> radial_symmetry_2d(const View2<float>& v) {
  const std::uint64_t R = v.shape[0];
  const std::uint64_t C = v.shape[1];
  // A window without a 2x2 block has an empty grid: every sum is 0, so det is 0.
  if (R < 2 || C < 2) return std::nullopt;
  const auto rows = static_cast<std::int64_t>(R - 1);
  const auto cols = static_cast<std::int64_t>(C - 1);
  const float r_offset = 0.5f - (static_cast<float>(R) - 1.0f) * 0.5f;
  const float c_offset = 0.5f - (static_cast<float>(C) - 1.0f) * 0.5f;
  thread_local Workspace kept;
  Workspace fresh;
  Workspace& work = static_cast<std::size_t>(rows * cols) <= kKeptGridPoints ? kept : fresh;
  diagonal_gradients(v, rows, cols, work.gradients);
  gradient_lines(work.gradients, rows, cols, r_offset, c_offset, work.lines);
  return nearest_to_lines(work.lines, rows, cols, r_offset, c_offset);
}

}  // namespace quorlin
