// Randomized check of the parallel radix sort against std::stable_sort on the upper 32 bits:
// empty and tiny inputs, few and many distinct keys, and inputs past the chunk limit.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "common/parallel.h"

int main() {
  std::mt19937_64 rng(20261208);
  const std::size_t sizes[] = {0, 1, 2, 1000, 70000, 3000000};
  const std::uint64_t key_ranges[] = {1, 30, 5000, std::uint64_t{1} << 32};
  for (const std::size_t n : sizes) {
    for (const std::uint64_t range : key_ranges) {
      std::vector<std::uint64_t> items(n);
      // A few keys that differ only in their top bits, so every radix pass has work.
      for (auto& item : items) item = (rng() % range) << 32 | (rng() & 0xffffffffu);
      if (range > 1 && n > 0) items[0] |= std::uint64_t{0xF0000000u} << 32;
      auto expected = items;
      std::stable_sort(expected.begin(), expected.end(),
                       [](std::uint64_t a, std::uint64_t b) { return (a >> 32) < (b >> 32); });
      quorlin::stable_sort_by_upper_half(items);
      if (items != expected) {
        std::printf("mismatch: %zu items, %llu keys\n", n, static_cast<unsigned long long>(range));
        return 1;
      }
    }
  }
  std::printf("stable radix sort: agrees with std::stable_sort\n");
  return 0;
}
