// The band-passed images the spot path takes out of a spot's window, against the band-pass of
// rendered frames: a unit impulse (exact), pixel-integrated Gaussian spots of random centre and
// width (the model's Gaussian approximations), and the width found from a peak's bend.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "common/array_view.h"
#include "detect/bandpass.h"
#include "localize/spot_image.h"

namespace {

constexpr std::int64_t kSide = 41, kReach = 3;
constexpr double kNoise = 1.0;

std::vector<float> filtered(const std::vector<float>& frame) {
  std::vector<float> out(frame.size());
  quorlin::bandpass(quorlin::contiguous_view<float, 2>(frame.data(), {kSide, kSide}), kNoise, kReach, out.data());
  return out;
}

double pixel_share(double k, double mean, double sigma) {
  const double scale = 1.0 / (std::sqrt(2.0) * sigma);
  return 0.5 * (std::erf((k + 0.5 - mean) * scale) - std::erf((k - 0.5 - mean) * scale));
}

}  // namespace

int main() {
  const std::int64_t c = kSide / 2;
  std::vector<float> frame(kSide * kSide, 0.0f);
  frame[c * kSide + c] = 1.0f;
  const std::vector<float> impulse = filtered(frame);
  const quorlin::BandpassImpulse response(kNoise, kReach);
  for (std::int64_t r = 0; r < kSide; ++r)
    for (std::int64_t k = 0; k < kSide; ++k)
      if (std::fabs(impulse[r * kSide + k] - response(r - c, k - c)) > 1e-7f) {
        std::printf("impulse response off at (%lld, %lld)\n", static_cast<long long>(r - c), static_cast<long long>(k - c));
        return 1;
      }
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> offset(-0.5, 0.5), width(0.8, 2.5);
  for (int trial = 0; trial < 50; ++trial) {
    const double y = c + offset(rng), x = c + offset(rng), w = width(rng);
    for (std::int64_t r = 0; r < kSide; ++r)
      for (std::int64_t k = 0; k < kSide; ++k)
        frame[r * kSide + k] = static_cast<float>(pixel_share(r, y, w) * pixel_share(k, x, w));
    const std::vector<float> band = filtered(frame);
    const quorlin::SpotImage image(w, kNoise, kReach);
    const double peak = image(0.0, 0.0);
    double worst = 0.0;
    for (std::int64_t r = c - 8; r <= c + 8; ++r)
      for (std::int64_t k = c - 8; k <= c + 8; ++k)
        worst = std::max(worst, std::fabs(band[r * kSide + k] - image(r - y, k - x)));
    // The smoothed pixel-integrated spot is close to, not exactly, a Gaussian of the summed variances.
    if (!(worst < 0.01 * peak)) {
      std::printf("spot image of width %.3f off by %.4f of its peak\n", w, worst / peak);
      return 1;
    }
    const double bend = std::log(image(1.0, 0.0)) - 2.0 * std::log(peak) + std::log(image(-1.0, 0.0));
    const auto found = quorlin::SpotImage::for_peak_width(1.0 / std::sqrt(-bend), kNoise, kReach);
    if (!found || std::fabs(*found - w) > 1e-4) {  // the image is evaluated in single precision
      std::printf("width %.4f from its peak's bend: %.6f\n", w, found ? *found : -1.0);
      return 1;
    }
  }
  if (quorlin::SpotImage::for_peak_width(0.5, kNoise, kReach)) {
    std::printf("a peak narrower than the filter's own gave a spot width\n");
    return 1;
  }
  std::printf("spot images: agree with the band-pass of rendered spots\n");
  return 0;
}
