// Test driver for the track end indices: reads track lengths on stdin, prints the end indices, or
// the error raised when they do not fit in 32 bits.
#include <cstdint>
#include <iostream>
#include <vector>

#include "common/errors.h"
#include "common/types.h"

int main() {
  std::vector<std::uint64_t> lengths;
  for (std::uint64_t n = 0; std::cin >> n;) lengths.push_back(n);
  try {
    for (std::uint32_t end : quorlin::track_end_indices(lengths)) std::cout << end << ' ';
    std::cout << '\n';
  } catch (const quorlin::OverflowError& e) {
    std::cout << "OverflowError: " << e.what() << '\n';
  }
  return 0;
}
