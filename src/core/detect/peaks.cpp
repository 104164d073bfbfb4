// The result arrays of peak lists, and the localization method names.
#include "detect/peaks.h"

#include <algorithm>
#include <string>
#include <utility>

#include "common/errors.h"

namespace quorlin {

template <std::size_t N>
PeakArrays peak_arrays(const std::vector<Peak<N>>& peaks) {
  const std::uint64_t k = peaks.size();
  std::vector<float> positions;
  std::vector<float> intensities;
  positions.reserve(N * k);
  intensities.reserve(k);
  for (const Peak<N>& p : peaks) {
    positions.insert(positions.end(), p.position.begin(), p.position.end());
    intensities.push_back(p.intensity);
  }
  PeakArrays arrays{ResultArray<float>(std::move(positions), {k, N}),
                    ResultArray<float>(std::move(intensities), {k}), std::nullopt};
  if constexpr (N == 3) {
    const bool scored = std::any_of(peaks.begin(), peaks.end(),
                                    [](const Peak<N>& p) { return p.correlation.has_value(); });
    if (scored) {
      std::vector<float> scores;
      scores.reserve(k);
      for (const Peak<N>& p : peaks) scores.push_back(p.correlation.value_or(0.0f));
      arrays.correlations = ResultArray<float>(std::move(scores), {k});
    }
  }
  return arrays;
}

template PeakArrays peak_arrays<2>(const std::vector<Peak<2>>&);
template PeakArrays peak_arrays<3>(const std::vector<Peak<3>>&);

LocalizationMethod parse_localization_method(std::string_view name) {
  if (name == "radial_symmetry") return LocalizationMethod::radial_symmetry;
  if (name == "gaussian_fitting") return LocalizationMethod::gaussian_fitting;
  std::string message = "Unknown localization method '";
  message.append(name);
  message += "'. Choose 'radial_symmetry' or 'gaussian_fitting'.";
  throw ValueError(message);
}

}  // namespace quorlin
