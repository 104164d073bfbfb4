// Many frames of camera samples through the raw detectors' steps.
#include "localize/frame_batch.h"

#include <cstdint>
#include <string_view>

#include "localize/detect_and_localize.h"

namespace quorlin {

DetectionRequest<2> frame_request(const FrameBatchRequest& request, std::uint64_t rows, std::uint64_t cols,
                                  float threshold) {
  std::optional<std::string_view> method;
  if (request.method) method = *request.method;
  const Extent2d extent{0.0f, static_cast<float>(rows) - 1.0f, 0.0f, static_cast<float>(cols) - 1.0f};
  return {extent, threshold, request.min_distance, method, request.window_size, request.max_num_peaks, {}};
}

void check_frame_batch(const FrameBatchRequest& request) {
  check_localization(frame_request(request, 1, 1, 0.0f));
}

}  // namespace quorlin
