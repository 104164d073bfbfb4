// The automatic detection threshold of a frame.
#include "detect/background.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quorlin {

namespace {

Background from_median_and_mad(float median, float mad) {
  const double threshold = static_cast<double>(median) + kThresholdSigmas * kSigmaPerMad * static_cast<double>(mad);
  return {median, mad, static_cast<float>(threshold)};
}

Background no_background() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  return {nan, nan, std::numeric_limits<float>::infinity()};
}

/// Index of the lower median among n samples.
std::uint64_t lower_median_rank(std::uint64_t n) { return (n - 1) / 2; }

/// The value of rank `rank` (0-based, ascending) of a histogram whose bin b holds value b + lowest.
std::int64_t value_of_rank(const std::vector<std::uint64_t>& count, std::int64_t lowest, std::uint64_t rank) {
  std::uint64_t seen = 0;
  for (std::size_t b = 0; b < count.size(); ++b) {
    seen += count[b];
    if (seen > rank) return static_cast<std::int64_t>(b) + lowest;
  }
  return lowest + static_cast<std::int64_t>(count.size()) - 1;
}

}  // namespace

Background background_of(std::span<float> values) {
  const auto finite_end = std::partition(values.begin(), values.end(), [](float v) { return !std::isnan(v); });
  const auto n = static_cast<std::uint64_t>(finite_end - values.begin());
  if (n == 0) return no_background();
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(lower_median_rank(n));
  std::nth_element(values.begin(), middle, finite_end);
  const float median = *middle;
  for (auto it = values.begin(); it != finite_end; ++it) *it = std::fabs(*it - median);
  std::nth_element(values.begin(), middle, finite_end);
  return from_median_and_mad(median, *middle);
}

Background background_of(const IntegerHistogram& histogram) {
  const std::vector<std::uint64_t>& count = histogram.count;
  std::uint64_t n = 0;
  for (std::uint64_t c : count) n += c;
  if (n == 0) return no_background();
  const std::uint64_t rank = lower_median_rank(n);
  const std::int64_t median = value_of_rank(count, histogram.lowest, rank);
  // The deviation of rank `rank`: grow a window of bins around the median, always taking the
  // nearer side next (deviations are whole numbers, so ties take both), until it holds more
  // than `rank` samples.
  const auto centre = static_cast<std::size_t>(median - histogram.lowest);
  std::uint64_t inside = count[centre];
  std::size_t below = centre, above = centre;
  std::int64_t mad = 0;
  while (inside <= rank) {
    ++mad;
    if (below > 0) inside += count[--below];
    if (above + 1 < count.size()) inside += count[++above];
  }
  return from_median_and_mad(static_cast<float>(median), static_cast<float>(mad));
}

}  // namespace quorlin
