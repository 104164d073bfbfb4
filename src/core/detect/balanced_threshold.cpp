// The detection threshold where a frame's peaks outnumber its dips.
#include "detect/balanced_threshold.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace quorlin {
std::vector<Peak<2>> frame_dips(const View2<float>& frame, float depth, const std::uint8_t* skip) {
  std::vector<Peak<2>> dips;
  const auto rows = static_cast<std::int64_t>(frame.shape[0]), cols = static_cast<std::int64_t>(frame.shape[1]);
  const float level = -depth;
  thread_local std::vector<float> line;
  thread_local std::vector<std::uint8_t> deep;
  line.resize(static_cast<std::size_t>(cols));
  deep.resize(static_cast<std::size_t>(cols));
  const auto n = static_cast<std::size_t>(cols);
  for (std::int64_t r = 1; r + 1 < rows; ++r) {
    // The row's pixels that reach the level and are not passed over, flagged in one pass the
    // compiler vectorizes; the few flagged are then checked against their neighbours.
    const float* values = &frame(r, 0);
    if (frame.strides[1] != 1) {
      for (std::size_t c = 0; c < n; ++c) line[c] = frame(r, static_cast<std::int64_t>(c));
      values = line.data();
    }
    const std::uint8_t* passed = skip + r * cols;
    std::uint8_t* flags = deep.data();
    for (std::size_t c = 0; c < n; ++c)
      flags[c] = static_cast<std::uint8_t>(static_cast<std::uint8_t>(values[c] <= level) & static_cast<std::uint8_t>(passed[c] == 0));
    for (auto it = std::find(deep.begin() + 1, deep.end() - 1, std::uint8_t{1}); it < deep.end() - 1;
         it = std::find(it + 1, deep.end() - 1, std::uint8_t{1})) {
      const auto c = static_cast<std::int64_t>(it - deep.begin());
      const float v = values[c];
      bool below = true;
      for (std::int64_t dr = -1; dr <= 1 && below; ++dr)
        for (std::int64_t dc = -1; dc <= 1 && below; ++dc) below = (dr == 0 && dc == 0) || v < frame(r + dr, c + dc);
      if (below)
        dips.push_back({{}, {static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(c)},
                        {static_cast<float>(r), static_cast<float>(c)}, v});
    }
  }
  return dips;
}

float balanced_threshold(std::vector<float> peaks, std::vector<float> dips, float dip_weight, float lowest,
                         float highest, float false_share, float added_share) {
  std::sort(peaks.begin(), peaks.end(), std::greater<>());
  std::sort(dips.begin(), dips.end(), std::greater<>());
  // The peaks and dips at or above `highest`, kept or not whatever the threshold.
  const auto above = [&](const std::vector<float>& sizes) {
    return static_cast<std::size_t>(
        std::find_if(sizes.begin(), sizes.end(), [&](float v) { return !(v >= highest); }) - sizes.begin());
  };
  const std::size_t high_peaks = above(peaks), high_dips = above(dips);
  float threshold = highest;
  // Peaks from the highest down: at each, the peaks and dips that reach it.
  std::size_t reaching_dips = high_dips;
  for (std::size_t k = high_peaks; k < peaks.size() && peaks[k] >= lowest; ++k) {
    const float t = peaks[k];
    while (reaching_dips < dips.size() && dips[reaching_dips] >= t) ++reaching_dips;
    const auto all_peaks = static_cast<float>(k + 1), added_peaks = static_cast<float>(k + 1 - high_peaks);
    const auto all_dips = static_cast<float>(reaching_dips), added_dips = static_cast<float>(reaching_dips - high_dips);
    if (dip_weight * all_dips + 1.0f <= false_share * all_peaks &&
        dip_weight * added_dips + 1.0f <= added_share * added_peaks)
      threshold = t;
  }
  return threshold;
}

}  // namespace quorlin
