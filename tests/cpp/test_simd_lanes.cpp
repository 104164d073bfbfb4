// The lane operations of every instruction set this machine runs (the portable lanes, the
// baseline, and the widest chosen at run time) against plain scalar IEEE comparisons, sums and
// maxima, on values full of ties, signed zeros, infinities and NaN, at every offset.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "common/simd.h"

namespace {

using quorlin::simd::Lanes;

/// Whether the comparisons agree with the scalar rule on every window of a and b, with the first
/// operand given as a pointer and as one value, alone and several at once.
template <class Isa>
bool comparisons_agree(const std::vector<float>& a, const std::vector<float>& b) {
  using L = Lanes<Isa>;
  constexpr std::size_t w = L::width;
  for (std::size_t i = 0; i + w <= a.size(); ++i) {
    unsigned gt = 0, lt = 0, ngt = 0, gt_value = 0, ngt_value = 0, lt_value = 0;
    for (std::size_t k = 0; k < w; ++k) {
      gt |= static_cast<unsigned>(a[i + k] > b[i + k]) << k;
      lt |= static_cast<unsigned>(a[i + k] < b[i + k]) << k;
      ngt |= static_cast<unsigned>(!(a[i + k] > b[i + k])) << k;
      gt_value |= static_cast<unsigned>(a[i] > b[i + k]) << k;
      ngt_value |= static_cast<unsigned>(!(a[i] > b[i + k])) << k;
      lt_value |= static_cast<unsigned>(a[i] < b[i + k]) << k;
    }
    if (L::greater(&a[i], &b[i]) != gt || L::less(&a[i], &b[i]) != lt ||
        L::not_greater(&a[i], &b[i]) != ngt || L::greater(a[i], &b[i]) != gt_value ||
        L::not_greater(a[i], &b[i]) != ngt_value || L::less(&b[i], a[i]) != gt_value ||
        L::none_greater(&b[i], &a[i], a[i]) != (ngt & ngt_value) ||
        L::all_less(&b[i], &a[i], a[i]) != (lt & lt_value))
      return false;
  }
  return true;
}

/// Whether lane sums and lane maxima (a > b ? a : b), stored, are bit for bit the scalar ones.
template <class Isa>
bool sums_agree(const std::vector<float>& a, const std::vector<float>& b) {
  using L = Lanes<Isa>;
  constexpr std::size_t w = L::width;
  float sum[w], larger[w];
  for (std::size_t i = 0; i + w <= a.size(); ++i) {
    L::store(sum, L::add(L::load(&a[i]), L::load(&b[i])));
    L::store(larger, L::larger(L::load(&a[i]), L::load(&b[i])));
    for (std::size_t k = 0; k < w; ++k) {
      const float expected = a[i + k] + b[i + k];
      if (std::memcmp(&sum[k], &expected, sizeof expected) != 0 && !(std::isnan(sum[k]) && std::isnan(expected)))
        return false;
      const float top = a[i + k] > b[i + k] ? a[i + k] : b[i + k];
      if (std::memcmp(&larger[k], &top, sizeof top) != 0) return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  const float pool[] = {std::numeric_limits<float>::quiet_NaN(), -INFINITY, INFINITY, -0.0f, 0.0f,
                        1.0f, -1.0f, 1.5f, 2.0f, 1e-40f};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pool) - 1);
  std::vector<float> a(300), b(300);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = pool[pick(rng)];
    b[i] = pool[pick(rng)];
  }
  bool widest = false;
  quorlin::simd::run_widest([&]<class Isa>() { widest = comparisons_agree<Isa>(a, b); });
  using quorlin::simd::Baseline;
  using quorlin::simd::Portable;
  if (!widest || !comparisons_agree<Baseline>(a, b) || !comparisons_agree<Portable>(a, b) ||
      !sums_agree<Baseline>(a, b) || !sums_agree<Portable>(a, b)) {
    std::printf("lane operations disagree with the scalar rules\n");
    return 1;
  }
  std::printf("lanes: every instruction set agrees with the scalar rules\n");
  return 0;
}
