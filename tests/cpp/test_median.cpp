// Randomized check of the median against a comparison-based selection: ranked (short inputs) and
// digit by digit (longer ones), with few or many distinct values, signs and exponents far apart;
// where NaN leaves no value of the right rank, the ranking declines.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "common/median.h"

namespace {

float selected_median(std::vector<float> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

int main() {
  std::mt19937_64 rng(20261209);
  std::uniform_real_distribution<double> exponent(-30.0, 30.0);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; n <= quorlin::kRankedMedianMax + 3; ++n) lengths.push_back(n);
  for (const std::size_t n : {100, 455, 512, 4096}) lengths.push_back(n);
  for (const int distinct : {0, 1, 3, 1000000}) {  // 0: magnitudes 1e-30 to 1e30 of either sign
    for (const std::size_t n : lengths) {
      std::vector<float> values(n);
      for (float& v : values)
        v = distinct == 0 ? static_cast<float>((rng() % 2 ? 1.0 : -1.0) * std::pow(10.0, exponent(rng)))
                          : static_cast<float>(rng() % static_cast<unsigned>(distinct)) * 0.25f - 3.0f;
      if (quorlin::median_of(values) != selected_median(values)) {
        std::printf("median mismatch: %zu values, %d distinct\n", n, distinct);
        return 1;
      }
    }
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> missing{nan, 1.0f, nan, nan};
  if (quorlin::ranked_median(missing.data(), missing.size())) {
    std::printf("median with NaN: a value ranked where none has the rank\n");
    return 1;
  }
  std::printf("medians: agree with a selection\n");
  return 0;
}
