// Localization method names.
#include "detect/peaks.h"

#include <string>

#include "common/errors.h"

namespace quorlin {

LocalizationMethod parse_localization_method(std::string_view name) {
  if (name == "radial_symmetry") return LocalizationMethod::radial_symmetry;
  if (name == "gaussian_fitting") return LocalizationMethod::gaussian_fitting;
  std::string message = "Unknown localization method '";
  message.append(name);
  message += "'. Choose 'radial_symmetry' or 'gaussian_fitting'.";
  throw ValueError(message);
}

}  // namespace quorlin
