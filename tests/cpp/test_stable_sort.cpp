// Randomized checks of the core's sorts against std::stable_sort: the radix sort by the upper 32
// bits (in parallel past one chunk) and by a 64-bit key, and the sort of short spans on both sides
// of its insertion limit; empty and tiny inputs, few and many distinct keys, inputs past the
// chunk limit.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "common/sort.h"

namespace {

bool upper_half_agrees(std::mt19937_64& rng, std::size_t n, std::uint64_t range) {
  std::vector<std::uint64_t> items(n);
  for (auto& item : items) item = (rng() % range) << 32 | (rng() & 0xffffffffu);
  // A key that differs from the others only in its top bits, so every radix pass has work.
  if (range > 1 && n > 0) items[0] |= std::uint64_t{0xF0000000u} << 32;
  auto expected = items;
  std::stable_sort(expected.begin(), expected.end(),
                   [](std::uint64_t a, std::uint64_t b) { return (a >> 32) < (b >> 32); });
  quorlin::stable_sort_by_upper_half(items);
  return items == expected;
}

bool keyed_agrees(std::mt19937_64& rng, std::size_t n, std::uint64_t range) {
  std::vector<quorlin::KeyedIndex> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {(rng() % range) * 0x9E3779B97F4A7C15u, i};
  auto expected = pairs;
  const auto by_key = [](const auto& a, const auto& b) { return a.key < b.key; };
  std::stable_sort(expected.begin(), expected.end(), by_key);
  quorlin::radix_sort_by_key(pairs);
  return std::equal(pairs.begin(), pairs.end(), expected.begin(), expected.end(),
                    [](const auto& a, const auto& b) { return a.key == b.key && a.index == b.index; });
}

bool short_agrees(std::mt19937_64& rng, std::size_t n, std::uint64_t range) {
  // (key, arrival) pairs ordered by key alone: stability shows in the arrival order.
  std::vector<std::pair<std::uint64_t, std::size_t>> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = {rng() % range, i};
  auto expected = values;
  const auto by_key = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::stable_sort(expected.begin(), expected.end(), by_key);
  quorlin::stable_sort_short(std::span(values), quorlin::kInsertionSortLimit, by_key);
  std::vector<std::uint64_t> numbers(n);
  for (std::size_t i = 0; i < n; ++i) numbers[i] = values[n - 1 - i].first;
  quorlin::stable_sort_short(std::span(numbers));
  return values == expected && std::is_sorted(numbers.begin(), numbers.end());
}

}  // namespace

int main() {
  std::mt19937_64 rng(20261208);
  const std::uint64_t key_ranges[] = {1, 30, 5000, std::uint64_t{1} << 32};
  for (const std::uint64_t range : key_ranges) {
    // The keyed sort runs the same passes: past one chunk is enough for it.
    for (const std::size_t n : {0, 1, 2, 1000, 70000, 3000000}) {
      if (!upper_half_agrees(rng, n, range) || (n <= 70000 && !keyed_agrees(rng, n, range))) {
        std::printf("radix sort mismatch: %zu items, %llu keys\n", n,
                    static_cast<unsigned long long>(range));
        return 1;
      }
    }
    for (std::size_t n = 0; n <= 2 * quorlin::kInsertionSortLimit + 1; ++n) {
      if (!short_agrees(rng, n, range)) {
        std::printf("short sort mismatch: %zu items, %llu keys\n", n,
                    static_cast<unsigned long long>(range));
        return 1;
      }
    }
  }
  std::printf("sorts: agree with std::stable_sort\n");
  return 0;
}
