// The core's sorts: a stable least-significant-digit radix sort by a 64-bit key (in parallel on
// large inputs), and a stable sort of short spans.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <span>
#include <type_traits>
#include <vector>

#include "common/parallel.h"

namespace quorlin {

namespace sort_detail {

inline constexpr unsigned kDigitBits = 11;  // 2048 counters per chunk: a chunk's histogram stays in L1
inline constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
inline constexpr std::uint64_t kDigitMask = kBuckets - 1;
inline constexpr std::size_t kChunkItems = 32768;  // enough work per chunk to be worth a task
inline constexpr std::size_t kMaxChunks = 64;      // bounds the histograms' memory on huge inputs

/// n items cut into chunks fixed by the count alone, and a loop over the chunks: in parallel, or on
/// the calling thread when there is one.
struct Chunks {
  std::size_t n;
  std::size_t count;
  std::size_t items_per_chunk;

  explicit Chunks(std::size_t items)
      : n(items),
        count(std::min(kMaxChunks, (items + kChunkItems - 1) / kChunkItems)),
        items_per_chunk((items + count - 1) / count) {}

  /// Calls body(chunk, begin, end) for each chunk's items [begin, end).
  template <class Body>
  void each(Body&& body) const {
    const auto run = [&](std::size_t c) { body(c, c * items_per_chunk, std::min(n, (c + 1) * items_per_chunk)); };
    if (count == 1)
      run(0);
    else
      parallel_for(count, run);
  }
};

/// The bits in which some key differs from the first item's.
template <class Item, class KeyOf>
std::uint64_t differing_bits(const std::vector<Item>& items, const KeyOf& key_of, const Chunks& chunks) {
  const std::uint64_t first_key = key_of(items[0]);
  std::vector<std::uint64_t> differing_in(chunks.count, 0);
  chunks.each([&](std::size_t c, std::size_t begin, std::size_t end) {
    std::uint64_t differing = 0;
    for (std::size_t i = begin; i < end; ++i) differing |= key_of(items[i]) ^ first_key;
    differing_in[c] = differing;
  });
  std::uint64_t differing = 0;
  for (const std::uint64_t d : differing_in) differing |= d;
  return differing;
}

/// Turns each chunk's digit counts (offsets[c * kBuckets + b]) into the first slot of its run of
/// every bucket. Bucket-major, chunk-minor running sum: each chunk's run of a bucket follows the
/// runs of the earlier chunks, which keeps equal digits in their current order. (One chunk: a
/// plain running sum.)
inline void bucket_starts(std::vector<std::size_t>& offsets, std::size_t chunks) {
  if (chunks == 1) {
    std::exclusive_scan(offsets.begin(), offsets.end(), offsets.begin(), std::size_t{0});
    return;
  }
  std::size_t total = 0;
  for (std::size_t b = 0; b < kBuckets; ++b)
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::size_t count = offsets[c * kBuckets + b];
      offsets[c * kBuckets + b] = total;
      total += count;
    }
}

}  // namespace sort_detail

/// Sorts items by ascending key_of(item) (a std::uint64_t); items of equal key keep their order.
///
/// Least-significant digit first, 11 bits a digit, skipping the digits that all keys share, so
/// keys that differ only in their low bits cost few passes; linear in the number of items. Large
/// inputs are cut into chunks fixed by the item count alone: each pass counts every chunk's digits
/// and scatters each chunk to its own run of every bucket, the chunks in parallel, so the result
/// never depends on the scheduling. An input of one chunk runs on the calling thread.
template <class Item, class KeyOf>
void stable_radix_sort(std::vector<Item>& items, KeyOf&& key_of) {
  using namespace sort_detail;
  const std::size_t n = items.size();
  if (n < 2) return;
  const Chunks chunks(n);
  const std::uint64_t differing = differing_bits(items, key_of, chunks);
  std::vector<Item> scratch;
  std::vector<std::size_t> offsets;
  Item* from = items.data();
  for (unsigned shift = 0; shift < 64; shift += kDigitBits) {
    if (((differing >> shift) & kDigitMask) == 0) continue;
    const auto digit = [&](const Item& item) {
      return static_cast<std::size_t>((key_of(item) >> shift) & kDigitMask);
    };
    scratch.resize(n);
    Item* to = from == items.data() ? scratch.data() : items.data();
    offsets.assign(chunks.count * kBuckets, 0);
    chunks.each([&](std::size_t c, std::size_t begin, std::size_t end) {
      std::size_t* count = offsets.data() + c * kBuckets;
      for (std::size_t i = begin; i < end; ++i) ++count[digit(from[i])];
    });
    bucket_starts(offsets, chunks.count);
    chunks.each([&](std::size_t c, std::size_t begin, std::size_t end) {
      std::size_t* next = offsets.data() + c * kBuckets;
      for (std::size_t i = begin; i < end; ++i) to[next[digit(from[i])]++] = from[i];
    });
    from = to;
  }
  if (from != items.data()) items.swap(scratch);
}

/// Sorts 64-bit items by their upper 32 bits, ascending, keeping the order of items whose upper
/// halves are equal.
inline void stable_sort_by_upper_half(std::vector<std::uint64_t>& items) {
  stable_radix_sort(items, [](std::uint64_t item) { return item >> 32; });
}

/// An index carried along with the key it is sorted by.
struct KeyedIndex {
  std::uint64_t key;
  std::size_t index;
};

/// Sorts by ascending key; pairs of equal key keep their order.
inline void radix_sort_by_key(std::vector<KeyedIndex>& pairs) {
  stable_radix_sort(pairs, [](const KeyedIndex& p) { return p.key; });
}

/// Up to this many items, sorting a short span by insertion beats the general sorts' set-up.
inline constexpr std::size_t kInsertionSortLimit = 16;

/// Sorts a short span by less, stably: by insertion up to insertion_limit items, otherwise by the
/// library's sort unless the span is already in order. Equal numbers under the default order
/// cannot be told apart, so for them the faster unstable sort gives the stable result.
template <class T, class Less = std::less<>>
void stable_sort_short(std::span<T> values, std::size_t insertion_limit = kInsertionSortLimit,
                       Less less = {}) {
  if (values.size() <= insertion_limit) {
    for (std::size_t i = 1; i < values.size(); ++i) {
      const T value = values[i];
      std::size_t k = i;
      for (; k > 0 && less(value, values[k - 1]); --k) values[k] = values[k - 1];
      values[k] = value;
    }
    return;
  }
  if (std::is_sorted(values.begin(), values.end(), less)) return;
  if constexpr (std::is_arithmetic_v<T> && std::is_same_v<Less, std::less<>>)
    std::sort(values.begin(), values.end(), less);
  else
    std::stable_sort(values.begin(), values.end(), less);
}

}  // namespace quorlin
