// Randomized check of the median of a spot's pixels against a selection: the ranking path (short
// inputs) and the selection path give the same value for any length, with few or many distinct
// values; where NaN leaves no value of the right rank, the ranking declines.
#include <algorithm>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "localize/spot_shape.h"

namespace {

float selected_median(std::vector<float> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>((values.size() - 1) / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

}  // namespace

int main() {
  std::mt19937_64 rng(20261209);
  for (const int distinct : {1, 3, 1000000}) {
    for (std::size_t n = 1; n <= quorlin::kRankedMedianMax + 3; ++n) {
      std::vector<float> values(n);
      for (float& v : values) v = static_cast<float>(rng() % static_cast<unsigned>(distinct)) * 0.25f - 3.0f;
      const float expected = selected_median(values);
      if (quorlin::median_of(values) != expected) {
        std::printf("median mismatch: %zu values, %d distinct\n", n, distinct);
        return 1;
      }
    }
  }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> missing{nan, 1.0f, nan, nan};
  if (quorlin::ranked_median(missing.data(), missing.size())) {
    std::printf("median with NaN: a value ranked where none has the rank\n");
    return 1;
  }
  std::printf("medians: agree with a selection\n");
  return 0;
}
