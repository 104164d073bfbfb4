// The least-significant-digit radix sort of keyed indices.
#include "common/radix_sort.h"

#include <array>

namespace quorlin {

namespace {
// 11-bit digits: the 2048 bucket counts stay in the first-level cache; six passes cover 64 bits.
constexpr unsigned kDigitBits = 11;
constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
}  // namespace

void radix_sort_by_key(std::vector<KeyedIndex>& pairs) {
  if (pairs.size() < 2) return;
  std::uint64_t differing = 0;  // the bits in which some key differs from the first
  for (const KeyedIndex& p : pairs) differing |= p.key ^ pairs[0].key;
  std::vector<KeyedIndex> buffer;
  for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
    if (((differing >> shift) & kDigitMask) == 0) continue;
    std::array<std::size_t, kDigitMask + 1> start{};
    for (const KeyedIndex& p : pairs) ++start[(p.key >> shift) & kDigitMask];
    std::size_t total = 0;
    for (std::size_t& s : start) {
      const std::size_t count = s;
      s = total;
      total += count;
    }
    buffer.resize(pairs.size());
    for (const KeyedIndex& p : pairs) buffer[start[(p.key >> shift) & kDigitMask]++] = p;
    pairs.swap(buffer);
  }
}

}  // namespace quorlin
