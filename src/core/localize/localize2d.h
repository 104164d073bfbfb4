// Sub-pixel localization of 2-D peaks: the Gaussian centre fit, the crowding count, and the
// window rules of rs_detect_peaks (a centred window, the crowding test, the centroid fallback).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/array_view.h"
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

/// The window size to use: 7 when absent; raises ValueError "localization_window_size must be an
/// odd integer >= 3" for an even size or one below 3.
std::uint64_t checked_window_size(std::optional<std::uint64_t> window_size);

/// The first pixel of the w x w window centred on the pixel at index, or nothing when the window
/// leaves the frame.
std::optional<std::array<std::uint64_t, 2>> centred_window_start(
    const std::array<std::uint64_t, 2>& index, const std::array<std::uint64_t, 2>& shape,
    std::uint64_t w);

/// Whether a window holds more than one spot: more than two positive regional maxima (two are
/// allowed, since the top of one spot can be a pair of equal pixels).
bool crowded(const View2<float>& window);

/// The refined index position (fractional, frame index units) of the peak at index, from its
/// centred window: the estimator's offset from the window centre, or the window's intensity
/// centroid when the estimate lies beyond half the window on an axis. Nothing when the estimator
/// gives no result.
std::optional<std::array<float, 2>> locate_in_centred_window(LocalizationMethod method,
                                                             const View2<float>& window,
                                                             const std::array<std::uint64_t, 2>& index);

}  // namespace quorlin
