// The noise of a band-passed camera frame.
#include "detect/noise_model.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace quorlin {
namespace {

/// Samples taken per frame: enough for each bin's variance to within a few per cent, few enough to
/// cost a small share of the filter.
constexpr std::uint64_t kNoiseSamples = 8192;
/// Background bins of the variance line; a frame with fewer than kMinPerBin samples per bin gets
/// one bin (a flat variance unless the slope is known).
constexpr std::size_t kNoiseBins = 8;
constexpr std::size_t kMinPerBin = 32;
/// The noise sigma of normally distributed values is this many times their median absolute
/// deviation.
constexpr double kSigmaPerMad = 1.4826;
/// Variance of (v - mean of the four neighbours) for white noise of unit variance: 1 + 4 / 16.
constexpr double kNeighbourDifferenceGain = 1.25;
/// Variance floor relative to the frame's level: far above the rounding of the 32-bit filter
/// (about 1e-7 of the level), far below any camera's noise, so a noise-free frame's flat parts
/// never pass while its spots do.
constexpr double kRelativeNoiseFloor = 1e-4;

/// The band-passed frame must vary this much more than white noise predicts before the model is
/// scaled: sampling scatter of the ratio and a little texture stay below it.
constexpr double kCorrelatedNoiseExcess = 1.3;

struct Sample {
  float background;
  float deviation;
  float filtered;
};

/// Lower median of the values (reordered).
double median_of(std::vector<double>& values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

/// Robust variance (from the median absolute deviation) of one member of a bin's samples.
template <class Member>
double robust_variance(const Sample* first, const Sample* last, Member member, std::vector<double>& values) {
  values.clear();
  for (const Sample* s = first; s != last; ++s) values.push_back(s->*member);
  const double centre = median_of(values);
  for (double& v : values) v = std::fabs(v - centre);
  const double sigma = kSigmaPerMad * median_of(values);
  return sigma * sigma;
}

/// Median background, white-noise variance and band-passed variance of one bin of samples.
void bin_variance(const Sample* first, const Sample* last, double& background, double& variance,
                  double& filtered) {
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(last - first));
  for (const Sample* s = first; s != last; ++s) values.push_back(s->background);
  background = median_of(values);
  variance = robust_variance(first, last, &Sample::deviation, values) / kNeighbourDifferenceGain;
  filtered = robust_variance(first, last, &Sample::filtered, values);
}

}  // namespace

float NoiseModel::sigma(float b) const {
  const double variance = std::max(intercept + slope * static_cast<double>(b), floor);
  return static_cast<float>(std::sqrt(filter_gain * variance));
}

NoiseModel estimate_noise(const float* frame, const float* local_mean, const float* filtered,
                          std::uint64_t rows, std::uint64_t cols, const KnownNoise& known,
                          double filter_gain) {
  NoiseModel model;
  model.filter_gain = filter_gain;
  std::vector<Sample> samples;
  if (rows >= 3 && cols >= 3) {
    const std::uint64_t interior = (rows - 2) * (cols - 2);
    // A square grid of steps so the sample count stays near kNoiseSamples for any frame size.
    const auto step = static_cast<std::uint64_t>(std::max(
        1.0, std::floor(std::sqrt(static_cast<double>(interior) / static_cast<double>(kNoiseSamples)))));
    for (std::uint64_t r = 1; r + 1 < rows; r += step) {
      for (std::uint64_t c = 1; c + 1 < cols; c += step) {
        const float* p = frame + r * cols + c;
        const float around = 0.25f * ((p[-1] + p[1]) + (p[-static_cast<std::int64_t>(cols)] + p[cols]));
        const Sample s{local_mean[r * cols + c], p[0] - around, filtered[r * cols + c]};
        // Infinite pixels leave no finite deviation; they say nothing of the noise.
        if (std::isfinite(s.background) && std::isfinite(s.deviation) && std::isfinite(s.filtered))
          samples.push_back(s);
      }
    }
  }
  if (samples.empty()) {
    model.intercept = known.intercept.value_or(0.0);
    model.slope = known.slope.value_or(0.0);
    model.floor = kRelativeNoiseFloor * kRelativeNoiseFloor;
    return model;
  }
  const std::size_t bins = samples.size() >= kNoiseBins * kMinPerBin ? kNoiseBins : 1;
  // Equal-count bins by background: partition around each bin's upper edge in turn.
  std::vector<double> level(bins), variance(bins), filtered_variance(bins);
  const auto by_background = [](const Sample& a, const Sample& b) { return a.background < b.background; };
  std::size_t begin = 0;
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t end = samples.size() * (b + 1) / bins;
    if (end < samples.size())
      std::nth_element(samples.begin() + static_cast<std::ptrdiff_t>(begin),
                       samples.begin() + static_cast<std::ptrdiff_t>(end), samples.end(), by_background);
    bin_variance(samples.data() + begin, samples.data() + end, level[b], variance[b], filtered_variance[b]);
    begin = end;
  }
  // Least-squares line through the bins, with what the camera tells held fixed.
  double mean_level = 0.0, mean_variance = 0.0;
  for (std::size_t b = 0; b < bins; ++b) {
    mean_level += level[b] / static_cast<double>(bins);
    mean_variance += variance[b] / static_cast<double>(bins);
  }
  if (known.slope) {
    model.slope = *known.slope;
  } else {
    double sxy = 0.0, sxx = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
      sxy += (level[b] - mean_level) * (variance[b] - mean_variance);
      sxx += (level[b] - mean_level) * (level[b] - mean_level);
    }
    model.slope = sxx > 0.0 ? sxy / sxx : 0.0;
  }
  model.intercept = known.intercept.value_or(mean_variance - model.slope * mean_level);
  // Correlated noise: the darker half of the bins' band-passed variance over the white-noise
  // prediction (its median); only ever scales up.
  std::vector<double> ratios;
  for (std::size_t b = 0; b < (bins + 1) / 2; ++b) {
    const double predicted = filter_gain * std::max(model.intercept + model.slope * level[b], 0.0);
    if (predicted > 0.0) ratios.push_back(filtered_variance[b] / predicted);
  }
  if (!ratios.empty() && !known.intercept) {
    const double excess = median_of(ratios);
    if (excess > kCorrelatedNoiseExcess) {
      model.intercept *= excess;
      model.slope *= excess;
    }
  }
  const double scale = kRelativeNoiseFloor * (1.0 + std::fabs(mean_level));
  // A fitted line may dip below the bins it passed through at the far ends of the background:
  // the variance never falls below a quarter of the smallest bin's.
  const double smallest = *std::min_element(variance.begin(), variance.end());
  model.floor = std::max(scale * scale, known.intercept ? 0.0 : 0.25 * smallest);
  return model;
}

}  // namespace quorlin
