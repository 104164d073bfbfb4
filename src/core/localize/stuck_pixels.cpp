// Stuck pixels found on a movie's mean frame and painted over frame by frame.
#include "localize/stuck_pixels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/errors.h"
#include "common/median.h"

namespace quorlin {

namespace {

/// A stuck pixel stands this many noise sigmas of the mean frame above the background: pure noise
/// reaches it about once in 10^15 pixels, while a hot pixel as faint as a faint spot, averaged
/// over 16 frames, stands far above it.
constexpr float kStuckSigmas = 8.0f;
/// The background of a candidate is the median of the border of the square of this half-side
/// around it: just past the 8 neighbours the spike test weighs.
constexpr std::int64_t kBackgroundHalf = 2;
/// Stuck pixels side by side hold each other's height, so that only the brightest passes the
/// spike test: the search runs again with those found painted over, as many times as this
/// (clusters of up to this many; pairs occur among a few dozen stuck pixels of a sensor).
constexpr int kStuckRounds = 3;

/// The noise sigma of the frame's pixels: the median absolute difference of horizontal
/// neighbours over that of normal noise, over sqrt(2) (a difference holds two pixels' noise).
/// Smooth backgrounds and textures wider than a pixel hardly move it. Zero when most neighbours
/// are equal or none is finite.
float pixel_noise(const View2<float>& frame) {
  std::vector<float> steps;
  steps.reserve(frame.shape[0] * frame.shape[1]);
  for (std::int64_t r = 0; r < static_cast<std::int64_t>(frame.shape[0]); ++r)
    for (std::int64_t c = 0; c + 1 < static_cast<std::int64_t>(frame.shape[1]); ++c) {
      const float step = std::fabs(frame(r, c + 1) - frame(r, c));
      if (std::isfinite(step)) steps.push_back(step);
    }
  if (steps.empty()) return 0.0f;
  return median_of(steps) / (kMedianAbsNormal * std::sqrt(2.0f));
}

/// Signs of the stuck pixels looked for: hot ones (bright) and dead ones (dark), which a frame
/// turned over for dark particles makes bright.
constexpr std::array<float, 2> kStuckSigns{1.0f, -1.0f};

}  // namespace

std::vector<Index<2>> find_stuck_pixels(const View2<float>& mean) {
  std::vector<Index<2>> stuck;
  if (mean.shape[0] < 3 || mean.shape[1] < 3) return stuck;
  const float sigma = pixel_noise(mean);
  if (!(sigma > 0.0f)) return stuck;
  const std::uint64_t rows = mean.shape[0], cols = mean.shape[1];
  std::vector<float> painted(rows * cols);
  for (std::uint64_t r = 0; r < rows; ++r)
    for (std::uint64_t c = 0; c < cols; ++c)
      painted[r * cols + c] = mean(static_cast<std::int64_t>(r), static_cast<std::int64_t>(c));
  const View2<float> view = contiguous_view<float, 2>(painted.data(), {rows, cols});
  for (int round = 0; round < kStuckRounds; ++round) {
    std::vector<Index<2>> found;
    for (std::int64_t r = 0; r < static_cast<std::int64_t>(rows); ++r)
      for (std::int64_t c = 0; c < static_cast<std::int64_t>(cols); ++c) {
        const Index<2> p{r, c};
        if (!std::isfinite(view(r, c)) || std::binary_search(stuck.begin(), stuck.end(), p)) continue;
        for (const float sign : kStuckSigns) {
          // A local extreme: no neighbour brighter (darker).
          if (brightest_near<2>(view, p, sign) != p) continue;
          const float background = border_median<2>(view, p, kBackgroundHalf);
          if (sign * (view(r, c) - background) > kStuckSigmas * sigma && is_spike<2>(view, p, background, sign)) {
            found.push_back(p);
            break;
          }
        }
      }
    if (found.empty()) break;
    stuck.insert(stuck.end(), found.begin(), found.end());
    std::sort(stuck.begin(), stuck.end());
    paint_over_stuck(painted.data(), rows, cols, stuck);
  }
  return stuck;
}

std::vector<Index<2>> stuck_in_frame(std::vector<Index<2>> stuck, std::uint64_t rows, std::uint64_t cols) {
  for (const Index<2>& p : stuck)
    if (p[0] < 0 || p[1] < 0 || static_cast<std::uint64_t>(p[0]) >= rows || static_cast<std::uint64_t>(p[1]) >= cols)
      throw ValueError("stuck pixels must lie in the frame");
  std::sort(stuck.begin(), stuck.end());
  stuck.erase(std::unique(stuck.begin(), stuck.end()), stuck.end());
  return stuck;
}

void paint_over_stuck(float* frame, std::uint64_t rows, std::uint64_t cols, const std::vector<Index<2>>& stuck) {
  const View2<float> view = contiguous_view<float, 2>(frame, {rows, cols});
  const auto is_stuck = [&](const Index<2>& at) { return std::binary_search(stuck.begin(), stuck.end(), at); };
  std::vector<float> painted(stuck.size()), around;
  for (std::size_t i = 0; i < stuck.size(); ++i) {
    around.clear();
    for_each_in_cube<2>(stuck[i], 1, [&](const Index<2>& at, const Index<2>&) {
      if (at == stuck[i] || !inside<2>(view, at) || is_stuck(at)) return;
      if (std::isfinite(view(at[0], at[1]))) around.push_back(view(at[0], at[1]));
    });
    painted[i] = around.empty() ? view(stuck[i][0], stuck[i][1]) : median_of(around);
  }
  for (std::size_t i = 0; i < stuck.size(); ++i)
    frame[static_cast<std::uint64_t>(stuck[i][0]) * cols + static_cast<std::uint64_t>(stuck[i][1])] = painted[i];
}

}  // namespace quorlin
