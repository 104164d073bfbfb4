// Checks of the settings shared by the per-spot fits.
#include "localize/spot_windows.h"

#include <cmath>
#include <string>

#include "common/errors.h"

namespace quorlin {

void validate_fit_settings(int window, double sigma, double gain, double offset) {
  if (window < 3 || window > kMaxFitWindow || window % 2 == 0)
    throw ValueError("argument 'window': must be an odd integer from 3 to " +
                     std::to_string(kMaxFitWindow) + ", got " + std::to_string(window));
  if (!std::isnan(sigma) && !(sigma >= kMinFixedSigma && std::isfinite(sigma)))
    throw ValueError("argument 'sigma': must be None or a finite number of at least " +
                     std::to_string(kMinFixedSigma).substr(0, 3) + " (pixels)");
  if (!(gain > 0.0) || !std::isfinite(gain))
    throw ValueError("argument 'gain': must be a finite number above 0");
  if (!std::isfinite(offset)) throw ValueError("argument 'offset': must be a finite number");
}

}  // namespace quorlin
