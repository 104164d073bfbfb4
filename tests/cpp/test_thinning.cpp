// Randomized check that grid-accelerated minimum-distance thinning keeps exactly the peaks that a
// comparison against every kept peak keeps, in 2-D and 3-D. Exits non-zero on the first mismatch.
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "detect/peaks.h"

namespace {

template <std::size_t N>
struct Peak {
  std::array<float, N> position;
  float intensity;
  int id;
};

/// The plain definition: compare each peak with every kept one, d^2 summed axis by axis.
template <std::size_t N>
std::vector<Peak<N>> thin_all_pairs(const std::vector<Peak<N>>& sorted, float min_distance) {
  const float md2 = min_distance * min_distance;
  std::vector<Peak<N>> kept;
  for (const auto& p : sorted) {
    bool rejected = false;
    for (const auto& q : kept) {
      float d2 = 0.0f;
      for (std::size_t r = 0; r < N; ++r) {
        const float d = p.position[r] - q.position[r];
        d2 = r == 0 ? d * d : d2 + d * d;
      }
      if (md2 > d2) {
        rejected = true;
        break;
      }
    }
    if (!rejected) kept.push_back(p);
  }
  return kept;
}

/// Positions drawn to hit the delicate cases: integer lattices (distances of exactly
/// min_distance), exact multiples of the grid's cell side (peaks on cell boundaries), points a
/// hair either side of those, negative coordinates, a few non-finite values, and pairs at exactly
/// min_distance or just inside it.
template <std::size_t N>
std::vector<Peak<N>> random_peaks(std::mt19937& rng, int count, float min_distance, int reach) {
  const double side = static_cast<double>(std::fabs(min_distance)) * (1.0 + 1.0 / (1 << 20));
  std::uniform_int_distribution<int> kind(0, 19), lattice(-reach, reach);
  const auto span = static_cast<float>(reach);
  std::uniform_real_distribution<float> uniform(-span, span);
  std::vector<Peak<N>> peaks;
  for (int k = 0; k < count; ++k) {
    Peak<N> p{};
    for (std::size_t r = 0; r < N; ++r) {
      const int which = kind(rng);
      float c;
      if (which < 6)
        c = static_cast<float>(lattice(rng)) * min_distance;
      else if (which < 12)
        c = static_cast<float>(lattice(rng) * side);
      else if (which < 15)
        c = std::nextafter(static_cast<float>(lattice(rng) * side), which % 2 ? 1e9f : -1e9f);
      else if (which < 19)
        c = uniform(rng) * std::fabs(min_distance);
      else
        c = k % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : uniform(rng);
      p.position[r] = c;
    }
    // Every fourth peak sits next to an earlier one: exactly min_distance away along one axis, or
    // one float step closer.
    if (k > 0 && k % 4 == 0) {
      const auto& base = peaks[static_cast<std::size_t>(rng()) % peaks.size()];
      p.position = base.position;
      const std::size_t axis = static_cast<std::size_t>(kind(rng)) % N;
      const float target = base.position[axis] + (kind(rng) % 2 ? min_distance : -min_distance);
      p.position[axis] = kind(rng) % 2 ? target : std::nextafter(target, base.position[axis]);
    }
    p.intensity = static_cast<float>(count - k);  // already brightest first, all distinct
    p.id = k;
    peaks.push_back(p);
  }
  return peaks;
}

template <std::size_t N>
int check(std::mt19937& rng, int rounds) {
  const float distances[] = {1.0f, 2.0f, 3.0f, 0.7f, 1.5f, -2.0f, 5.0f, 0.1f};
  for (int round = 0; round < rounds; ++round) {
    const float md = distances[round % 8];
    // Reaches chosen so that every kind of cell table is used: a dense table, a bitmap with a hash
    // table behind it, and the general hash map for bounding boxes of billions of cells.
    const int reaches[] = {12, 60, 700, 30000};
    const auto peaks = random_peaks<N>(rng, 50 + round % 400, md, reaches[(round / 8) % 4]);
    const auto expected = thin_all_pairs<N>(peaks, md);
    const auto got = quorlin::thin_by_distance<N>(peaks, md);
    bool same = expected.size() == got.size();
    for (std::size_t k = 0; same && k < got.size(); ++k) same = expected[k].id == got[k].id;
    if (!same) {
      std::printf("mismatch in %zu-D, round %d, min_distance %g: %zu kept, expected %zu\n", N,
                  round, static_cast<double>(md), got.size(), expected.size());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main() {
  std::mt19937 rng(20261207);
  if (check<2>(rng, 3000) != 0) return 1;
  if (check<3>(rng, 3000) != 0) return 1;
  std::printf("thinning: grid and all-pairs agree\n");
  return 0;
}
