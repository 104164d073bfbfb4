// A stable sort of (key, index) pairs by their 64-bit key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorlin {

/// An index carried along with the key it is sorted by.
struct KeyedIndex {
  std::uint64_t key;
  std::size_t index;
};

/// Sorts by ascending key; pairs of equal key keep their order. Least-significant digit first,
/// skipping the digits that all keys share, so keys that differ only in their low bits cost few
/// passes. Linear in the number of pairs.
void radix_sort_by_key(std::vector<KeyedIndex>& pairs);

}  // namespace quorlin
