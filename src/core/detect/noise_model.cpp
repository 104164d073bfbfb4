// The noise of a band-passed camera frame.
#include "detect/noise_model.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "common/median.h"

namespace quorlin {
namespace {

/// Samples taken per frame: enough for each bin's variance to within a few per cent (the line
/// through the bins to within about 2 %), few enough to cost a small share of the filter.
constexpr std::uint64_t kNoiseSamples = 4096;
/// Sampled rows lie about this many times farther apart than the samples along them, so each row
/// is read in one run while the rows still cover the frame.
constexpr double kRowToColumnStep = 4.0;
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

/// Robust variance (from the median absolute deviation) of one member of a bin's samples, the
/// deviation taken from `centre` or, without one, from the samples' median.
template <class Member>
double robust_variance(const Sample* first, const Sample* last, Member member, std::optional<float> centre) {
  thread_local std::vector<float> values;
  values.clear();
  for (const Sample* s = first; s != last; ++s) values.push_back(s->*member);
  const float middle = centre ? *centre : median_of(values);
  for (float& v : values) v = std::fabs(v - middle);
  const double sigma = kSigmaPerMad * median_of(values);
  return sigma * sigma;
}

/// Mean background and white-noise variance of one bin of samples. A pixel's deviation from the
/// mean of its four neighbours is centred on 0 wherever the background is locally linear.
void bin_variance(const Sample* first, const Sample* last, double& background, double& variance) {
  double sum = 0.0;
  for (const Sample* s = first; s != last; ++s) sum += s->background;
  background = sum / static_cast<double>(last - first);
  variance = robust_variance(first, last, &Sample::deviation, 0.0f) / kNeighbourDifferenceGain;
}

}  // namespace

NoiseModel estimate_noise(const float* frame, const float* local_mean, const float* filtered,
                          std::uint64_t rows, std::uint64_t cols, const KnownNoise& known,
                          double filter_gain) {
  NoiseModel model;
  model.filter_gain = filter_gain;
  thread_local std::vector<Sample> samples;
  samples.clear();
  if (rows >= 3 && cols >= 3) {
    // Every few pixels along sampled rows, the rows spaced to give about kNoiseSamples samples:
    // neighbouring samples share no pixel of their deviations, and the rows are read in runs.
    const std::uint64_t inner_rows = rows - 2, inner_cols = cols - 2;
    const auto col_step = static_cast<std::uint64_t>(std::max(1.0, std::ceil(std::sqrt(
        static_cast<double>(inner_rows * inner_cols) / static_cast<double>(kRowToColumnStep * kNoiseSamples)))));
    const std::uint64_t per_row = (inner_cols + col_step - 1) / col_step;
    const std::uint64_t row_step = std::max<std::uint64_t>(1, inner_rows * per_row / kNoiseSamples);
    for (std::uint64_t r = 1; r + 1 < rows; r += row_step) {
      for (std::uint64_t c = 1; c + 1 < cols; c += col_step) {
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
  std::vector<double> level(bins), variance(bins);
  std::vector<std::pair<std::size_t, std::size_t>> bounds(bins);
  const auto by_background = [](const Sample& a, const Sample& b) { return a.background < b.background; };
  std::size_t begin = 0;
  for (std::size_t b = 0; b < bins; ++b) {
    const std::size_t end = samples.size() * (b + 1) / bins;
    if (end < samples.size())
      std::nth_element(samples.begin() + static_cast<std::ptrdiff_t>(begin),
                       samples.begin() + static_cast<std::ptrdiff_t>(end), samples.end(), by_background);
    bin_variance(samples.data() + begin, samples.data() + end, level[b], variance[b]);
    bounds[b] = {begin, end};
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
  std::vector<float> ratios;
  for (std::size_t b = 0; b < (known.intercept ? 0 : (bins + 1) / 2); ++b) {
    const double predicted = filter_gain * std::max(model.intercept + model.slope * level[b], 0.0);
    const double filtered_variance = robust_variance(samples.data() + bounds[b].first,
                                                     samples.data() + bounds[b].second, &Sample::filtered, {});
    if (predicted > 0.0) ratios.push_back(static_cast<float>(filtered_variance / predicted));
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
