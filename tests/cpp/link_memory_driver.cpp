// Test driver for the memory checks of linking: reports a given amount of memory as available (in
// place of the system's figure: this program defines the core's query itself, so the query's own
// file is not linked), links two frames of n points inside one disc of max_distance (every pair
// feasible, one dense component), and prints the number of links or the MemoryError raised.
//
// Input on stdin: "available_bytes n" (0: no limit).
#include <cstdint>
#include <iostream>
#include <limits>
#include <vector>

#include "common/errors.h"
#include "common/memory.h"
#include "link/linking3d.h"

namespace {
std::uint64_t reported = 0;  // 0: no limit
}  // namespace

std::uint64_t quorlin::available_memory() {
  return reported == 0 ? std::numeric_limits<std::uint64_t>::max() : reported;
}

int main() {
  std::size_t n = 0;
  if (!(std::cin >> reported >> n)) return 2;
  std::vector<float> rows(n * 4);
  for (std::size_t i = 0; i < n; ++i) {
    rows[4 * i] = static_cast<float>(i % 97) * 0.001f;
    rows[4 * i + 1] = static_cast<float>(i % 89) * 0.001f;
    rows[4 * i + 2] = static_cast<float>(i % 83) * 0.001f;
    rows[4 * i + 3] = 1.0f;
  }
  const quorlin::View2<float> frame{rows.data(), {n, 4}, {4, 1}};
  const std::vector<quorlin::View2<float>> frames{frame, frame};
  try {
    const auto result = quorlin::link_points_3d(frames, 1.0f, 0);
    std::cout << "links " << result.matrix.shape[0] - result.track_end_indices.shape[0] << '\n';
  } catch (const quorlin::MemoryError& e) {
    std::cout << "MemoryError: " << e.text() << '\n';
  }
  return 0;
}
