// Randomized check that grid-accelerated minimum-distance thinning keeps exactly the peaks that a
// comparison against every kept peak keeps, in 2-D and 3-D, for ordinary and extreme minimum
// distances and coordinate spans. Exits non-zero on the first mismatch.
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
bool agrees(const std::vector<Peak<N>>& peaks, float md, int round) {
  const auto expected = thin_all_pairs<N>(peaks, md);
  const auto got = quorlin::thin_by_distance<N>(peaks, md);
  bool same = expected.size() == got.size();
  for (std::size_t k = 0; same && k < got.size(); ++k) same = expected[k].id == got[k].id;
  if (!same)
    std::printf("mismatch in %zu-D, round %d, min_distance %g: %zu kept, expected %zu\n", N, round,
                static_cast<double>(md), got.size(), expected.size());
  return same;
}

template <std::size_t N>
int check(std::mt19937& rng, int rounds) {
  const float distances[] = {1.0f, 2.0f, 3.0f, 0.7f, 1.5f, -2.0f, 5.0f, 0.1f};
  for (int round = 0; round < rounds; ++round) {
    const float md = distances[round % 8];
    // Reaches from a dozen cells per axis to bounding boxes of billions of cells.
    const int reaches[] = {12, 60, 700, 30000};
    const auto peaks = random_peaks<N>(rng, 50 + round % 400, md, reaches[(round / 8) % 4]);
    if (!agrees<N>(peaks, md, round)) return 1;
  }
  return 0;
}

/// Pixel-grid positions i·scale + first (as detection makes them) and, in every third round,
/// coordinates scattered over many orders of magnitude, both with coincident and adjacent floats,
/// thinned at distances from below the float spacing to beyond the overflow of their square.
template <std::size_t N>
int check_extremes(std::mt19937& rng, int rounds) {
  const float inf = std::numeric_limits<float>::infinity();
  const float distances[] = {1e-9f, -1e-9f, 1e-20f, 3e-23f, 1e-30f, 1e19f, 0x1p64f,
                             std::nextafter(0x1p64f, 0.0f), 1e30f, -1e30f, inf, -inf, 2.5f};
  const float scales[] = {1.0f, 0.1f, 1e-9f, 1e20f, 3e-38f};
  const float firsts[] = {0.0f, -1000.0f, 1e10f, -3e38f};
  std::uniform_int_distribution<int> pixel(0, 40), pick(0, 99);
  std::uniform_real_distribution<float> exponent(-40.0f, 38.0f);
  for (int round = 0; round < rounds; ++round) {
    const float md = distances[round % 13];
    const float scale = scales[(round / 13) % 5];
    const float first = firsts[(round / 65) % 4];
    std::vector<Peak<N>> peaks(static_cast<std::size_t>(40 + round % 300));
    for (std::size_t k = 0; k < peaks.size(); ++k) {
      Peak<N>& p = peaks[k];
      for (std::size_t r = 0; r < N; ++r) {
        if (round % 3 == 2)
          p.position[r] = (pick(rng) % 2 ? 1.0f : -1.0f) * std::pow(10.0f, exponent(rng));
        else
          p.position[r] = static_cast<float>(pixel(rng)) * scale + first;
      }
      const int kind = pick(rng);
      if (k > 0 && kind < 20) {  // on or next to an earlier peak
        p.position = peaks[static_cast<std::size_t>(rng()) % k].position;
        const std::size_t axis = static_cast<std::size_t>(kind) % N;
        if (kind % 2) p.position[axis] = std::nextafter(p.position[axis], inf);
      } else if (kind == 99) {
        p.position[0] = k % 2 ? -inf : std::numeric_limits<float>::quiet_NaN();
      }
      p.intensity = static_cast<float>(peaks.size() - k);
      p.id = static_cast<int>(k);
    }
    if (!agrees<N>(peaks, md, round)) return 1;
  }
  return 0;
}

}  // namespace

int main() {
  std::mt19937 rng(20261207);
  if (check<2>(rng, 3000) != 0) return 1;
  if (check<3>(rng, 3000) != 0) return 1;
  if (check_extremes<2>(rng, 1300) != 0) return 1;
  if (check_extremes<3>(rng, 1300) != 0) return 1;
  std::printf("thinning: grid and all-pairs agree\n");
  return 0;
}
