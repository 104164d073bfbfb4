// Detection, then localization or the peak budget, for frames and volumes.
#include "localize/detect_and_localize.h"

#include <utility>

#include "localize/localize_peaks.h"

namespace quorlin {

namespace {

/// The step after detection and scoring. Without a method the list is returned, shortened to its
/// first max_num_peaks peaks when a budget is given. With a method the window size, then the
/// method name, are validated (ValueError) and the peaks localized (localize_peaks.h).
template <std::size_t N>
std::vector<Peak<N>> localize_or_cap(const StridedView<float, N>& image, std::vector<Peak<N>> peaks,
                                     const Extent<N>& extent, std::optional<std::string_view> method,
                                     std::optional<std::uint64_t> window_size,
                                     std::optional<std::uint64_t> max_num_peaks) {
  using Policy = DetectionPolicy<N>;
  if (!method) {
    if (max_num_peaks && peaks.size() > *max_num_peaks) peaks.resize(static_cast<std::size_t>(*max_num_peaks));
    return peaks;
  }
  const std::uint64_t w = Policy::window_size(window_size);
  const LocalizationMethod parsed = parse_localization_method(*method);
  return localize_peaks<Policy>(image, peaks, extent, w, parsed, max_num_peaks);
}

}  // namespace

template <std::size_t N>
std::vector<Peak<N>> detect_and_localize(const StridedView<float, N>& image, const DetectionRequest<N>& request) {
  using Policy = DetectionPolicy<N>;
  std::vector<Peak<N>> peaks = Policy::detect(image, request.extent, request.threshold, request.min_distance);
  Policy::score(image, request.extent, peaks, request.scoring);
  return localize_or_cap<N>(image, std::move(peaks), request.extent, request.method, request.window_size,
                            request.max_num_peaks);
}

template std::vector<Peak<2>> detect_and_localize<2>(const View2<float>&, const DetectionRequest<2>&);
template std::vector<Peak<3>> detect_and_localize<3>(const View3<float>&, const DetectionRequest<3>&);

}  // namespace quorlin
