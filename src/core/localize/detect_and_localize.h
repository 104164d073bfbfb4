// Detection, then localization or the peak budget: the pipeline behind rs_detect_peaks (2-D) and
// rs_detect_peaks3d (3-D), one template, with what the two functions do differently stated as
// one policy per dimension.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/array_view.h"
#include "common/extent_axis.h"
#include "detect/detection2d.h"
#include "detect/detection3d.h"
#include "detect/gaussian_correlation.h"
#include "detect/peaks.h"
#include "localize/localize2d.h"
#include "localize/localize3d.h"
#include "localize/window.h"

namespace quorlin {

/// The rules of rs_detect_peaks: frames are not scored; a given window size is checked (odd, at
/// least 3); each window is centred on its peak, and a peak whose window leaves the frame is
/// dropped; a crowded window keeps the detected position; an estimate is an offset from the
/// window centre, a runaway one replaced by the window's centroid; positions use the exact n - 1.
struct FramePolicy {
  struct Scoring {};
  static constexpr LastIndex kLastIndex = LastIndex::exact;
  static std::vector<Peak<2>> detect(const View2<float>& frame, const Extent2d& extent, float threshold,
                                     float min_distance) {
    return detect_peaks_2d(frame, extent, threshold, min_distance);
  }
  static void score(const View2<float>&, const Extent2d&, std::vector<Peak<2>>&, const Scoring&) {}
  static std::uint64_t window_size(std::optional<std::uint64_t> given) { return checked_window_size(given); }
  static std::optional<std::array<std::uint64_t, 2>> window_start(const std::array<std::uint64_t, 2>& index,
                                                                  const std::array<std::uint64_t, 2>& shape,
                                                                  std::uint64_t w) {
    return centred_window_start(index, shape, w);
  }
  static bool keeps_detected_position(const View2<float>& window) { return crowded(window); }
  static std::optional<std::array<float, 2>> locate(LocalizationMethod method, const View2<float>& window,
                                                    const std::array<std::uint64_t, 2>& index,
                                                    const std::array<std::uint64_t, 2>&) {
    return locate_in_centred_window(method, window, index);
  }
};

/// The rules of rs_detect_peaks3d: peaks may be scored by Gaussian correlation and filtered on the
/// score before localization; the window size is taken as given (7 when absent); each window is
/// shifted to stay inside the volume, and a volume smaller than the window keeps no peak; no
/// window counts as crowded; an estimate is a position in the window, a runaway one replaced by
/// the peak voxel; positions use n - 1 formed in floats.
struct VolumePolicy {
  /// Correlation scoring: widths of the template (physical units per axis), and the least score
  /// kept.
  struct Scoring {
    std::optional<std::array<float, 3>> sigmas;
    std::optional<float> threshold;
  };
  static constexpr LastIndex kLastIndex = LastIndex::float_count_minus_one;
  static std::vector<Peak<3>> detect(const View3<float>& volume, const Extent3d& extent,
                                     float threshold, float min_distance) {
    return detect_peaks_3d(volume, extent, threshold, min_distance);
  }
  static void score(const View3<float>& volume, const Extent3d& extent, std::vector<Peak<3>>& peaks,
                    const Scoring& scoring) {
    if (scoring.sigmas) correlate_peaks(volume, extent, peaks, *scoring.sigmas);
    if (scoring.threshold) keep_correlated(peaks, *scoring.threshold);
  }
  static std::uint64_t window_size(std::optional<std::uint64_t> given) {
    return given.value_or(kDefaultWindowSize);
  }
  static std::optional<std::array<std::uint64_t, 3>> window_start(const std::array<std::uint64_t, 3>& index,
                                                                  const std::array<std::uint64_t, 3>& shape,
                                                                  std::uint64_t a) {
    return shifted_window_start(index, shape, a);
  }
  static bool keeps_detected_position(const View3<float>&) { return false; }
  static std::optional<std::array<float, 3>> locate(LocalizationMethod method, const View3<float>& window,
                                                    const std::array<std::uint64_t, 3>& index,
                                                    const std::array<std::uint64_t, 3>& start) {
    return locate_in_shifted_window(method, window, index, start);
  }
};

/// The policy of N-dimensional images.
template <std::size_t N>
using DetectionPolicy = std::conditional_t<N == 2, FramePolicy, VolumePolicy>;

/// One call's choices after the image: threshold (the image's units; a value equal to it
/// qualifies), min_distance (extent units), the localization method by name (none: positions of
/// the detected pixels), the window size, the peak budget, and the scoring of the policy.
template <std::size_t N>
struct DetectionRequest {
  Extent<N> extent;
  float threshold;
  float min_distance;
  std::optional<std::string_view> method;
  std::optional<std::uint64_t> window_size;
  std::optional<std::uint64_t> max_num_peaks;
  typename DetectionPolicy<N>::Scoring scoring;
};

/// Checks a request's localization choices as detect_and_localize does after detection (the window
/// size, then the method name; ValueError), for a caller that runs one request on many images and
/// reports a bad choice once, before any work.
template <std::size_t N>
void check_localization(const DetectionRequest<N>& request) {
  if (!request.method) return;
  DetectionPolicy<N>::window_size(request.window_size);
  parse_localization_method(*request.method);
}

/// Detection (brightest first, thinned), scoring, then localization or the budget: the whole of
/// rs_detect_peaks (N = 2) or rs_detect_peaks3d (N = 3) after argument conversion.
template <std::size_t N>
std::vector<Peak<N>> detect_and_localize(const StridedView<float, N>& image, const DetectionRequest<N>& request);
extern template std::vector<Peak<2>> detect_and_localize<2>(const View2<float>&, const DetectionRequest<2>&);
extern template std::vector<Peak<3>> detect_and_localize<3>(const View3<float>&, const DetectionRequest<3>&);

}  // namespace quorlin
