// Sub-pixel localization of 2-D peaks: the Gaussian centre fit, the crowding count and the
// per-peak localization loop behind rs_detect_peaks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/array_view.h"
#include "detect/detection2d.h"
#include "detect/peaks.h"
#include "localize/radial_symmetry2d.h"

namespace quorlin {

/// Fits the centre of a unit-width Gaussian to the peak-normalised window by five Gauss-Newton
/// steps from the window centre. Offset in pixels from ((R-1)/2, (C-1)/2). No result when the
/// window's maximum (NaN ignored) is <= 0 or a step's determinant has magnitude below 1e-10.
std::optional<WindowOffset> gaussian_fit_2d(const View2<float>& window);

/// Number of pixels with a value > 0 on the window's regional maxima: 8-connected plateaus of
/// equal value with no strictly greater neighbour inside the window.
std::uint64_t count_positive_regional_maxima(const View2<float>& window);

/// Refines each peak in a w x w window around its pixel, in list order. Peaks whose window leaves
/// the frame, or whose estimator gives no result, are dropped; a window with more than two
/// positive regional maxima keeps the detection position. Estimates beyond w/2 pixels are replaced
/// by the window's intensity centroid. With max_num_peaks, the loop stops once that many peaks are
/// kept. Positions are in extent units.
std::vector<PeakCandidate> localize_peaks_2d(const View2<float>& frame,
                                             const std::vector<PeakCandidate>& peaks,
                                             const Extent2d& extent, std::uint64_t window_size,
                                             LocalizationMethod method,
                                             std::optional<std::uint64_t> max_num_peaks);

/// The window size to use: 7 when absent; raises ValueError "localization_window_size must be an
/// odd integer >= 3" for an even size or one below 3.
std::uint64_t checked_window_size(std::optional<std::uint64_t> window_size);

/// The step after detection in rs_detect_peaks. Without a method the detected list is returned,
/// shortened to its first max_num_peaks peaks when a limit is given. With a method the window
/// size, then the method name, are validated (ValueError) and the peaks are localized.
std::vector<PeakCandidate> refine_peaks_2d(const View2<float>& frame, std::vector<PeakCandidate> peaks,
                                           const Extent2d& extent,
                                           std::optional<std::string_view> method,
                                           std::optional<std::uint64_t> window_size,
                                           std::optional<std::uint64_t> max_num_peaks);

}  // namespace quorlin
