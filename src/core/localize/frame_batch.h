// Detection and localization of many 2-D frames of camera samples at once (the raw detectors'
// steps): conversion to float32, the automatic threshold, detection and localization fused per
// frame, frames in parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/array_view.h"
#include "common/buffer_pool.h"
#include "common/stop.h"
#include "detect/peaks.h"
#include "detect/sample_conversion.h"
#include "localize/detect_and_localize.h"

namespace quorlin {

/// What to do with each frame: the choices of rs_detect_peaks, positions in pixels (the first and
/// last pixel centres are 0 and N - 1 along each axis).
struct FrameBatchRequest {
  std::optional<float> threshold;  ///< absent: each frame's automatic threshold (background.h)
  float min_distance;
  std::optional<std::string> method;
  std::optional<std::uint64_t> window_size;
  std::optional<std::uint64_t> max_num_peaks;
};

/// The outcome of one frame: its peaks and the threshold they were detected at.
struct FramePeaks {
  std::vector<Peak<2>> peaks;
  float threshold = 0;
};

/// Checks the request's localization choices (ValueError) once, before any frame.
void check_frame_batch(const FrameBatchRequest& request);

/// The request of one (rows, cols) frame detected at `threshold`.
DetectionRequest<2> frame_request(const FrameBatchRequest& request, std::uint64_t rows, std::uint64_t cols,
                                  float threshold);

/// The peaks of each of `frames` contiguous (rows, cols) frames of samples, frames in parallel.
/// Once `stopped` asks, the frames not yet started are skipped (their results stay empty).
template <class T>
std::vector<FramePeaks> detect_frame_batch(const T* samples, std::uint64_t frames, std::uint64_t rows,
                                           std::uint64_t cols, const FrameBatchRequest& request,
                                           const StopRequested& stopped) {
  const std::uint64_t pixels = rows * cols;
  return for_each_frame<FramePeaks>(frames, stopped, [&](std::size_t f, BufferPool& pool) -> FramePeaks {
    Lease converted(pool), scratch(pool);
    (*converted).resize(pixels);
    const auto background =
        convert_samples(samples + f * pixels, pixels, (*converted).data(), !request.threshold, *scratch);
    const float threshold = request.threshold ? *request.threshold : background->threshold;
    const View2<float> view = contiguous_view<float, 2>((*converted).data(), {rows, cols});
    return {detect_and_localize<2>(view, frame_request(request, rows, cols, threshold)), threshold};
  });
}

}  // namespace quorlin
