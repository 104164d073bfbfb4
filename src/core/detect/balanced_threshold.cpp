// The detection threshold where a frame's peaks outnumber its dips.
#include "detect/balanced_threshold.h"

#include <algorithm>
#include <cstddef>
#include <functional>

namespace quorlin {

float balanced_threshold(std::vector<float> peaks, std::vector<float> dips, float dip_weight, float lowest,
                         float highest, float false_share) {
  std::sort(peaks.begin(), peaks.end(), std::greater<>());
  std::sort(dips.begin(), dips.end(), std::greater<>());
  float threshold = highest;
  // Peaks from the highest down: at each, the peaks and dips that reach it.
  std::size_t reaching_dips = 0;
  for (std::size_t k = 0; k < peaks.size() && peaks[k] >= lowest; ++k) {
    const float t = peaks[k];
    while (reaching_dips < dips.size() && dips[reaching_dips] >= t) ++reaching_dips;
    const auto reaching_peaks = static_cast<float>(k + 1);
    if (t < highest && dip_weight * static_cast<float>(reaching_dips) + 1.0f <= false_share * reaching_peaks)
      threshold = t;
  }
  return threshold;
}

}  // namespace quorlin
