// Parallel loops and sorts on the process-wide oneTBB work-stealing pool. Results never depend on
// scheduling: loops hand each index to exactly one task, and gathered outputs keep index order.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorlin {

/// Runs body(i) for every i in [0, n) on the pool; returns when all are done.
template <class Body>
void parallel_for(std::size_t n, Body&& body) {
  if (n == 0) return;
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                    [&](const tbb::blocked_range<std::size_t>& r) {
                      for (std::size_t i = r.begin(); i != r.end(); ++i) body(i);
                    });
}

/// Runs produce(i, out) for every i in [0, n), where produce appends the items of index i to out,
/// and returns all items joined in index order. Indices are cut into fixed chunks (not chosen by
/// the scheduler), each chunk filling its own list, so the joined list is the same for any number
/// of workers. The default of 16 indices per chunk suits items of a few microseconds each.
template <class Item, class Produce>
std::vector<Item> parallel_gather(std::size_t n, Produce&& produce, std::size_t grain = 16) {
  std::vector<Item> joined;
  if (n == 0) return joined;
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t chunks = (n + grain - 1) / grain;
  std::vector<std::vector<Item>> parts(chunks);
  parallel_for(chunks, [&](std::size_t c) {
    const std::size_t end = std::min(n, (c + 1) * grain);
    for (std::size_t i = c * grain; i < end; ++i) produce(i, parts[c]);
  });
  std::size_t total = 0;
  for (const auto& p : parts) total += p.size();
  joined.reserve(total);
  for (auto& p : parts) joined.insert(joined.end(), p.begin(), p.end());
  return joined;
}

/// Sorts 64-bit items by their upper 32 bits, ascending, keeping the order of items whose upper
/// halves are equal (a stable sort). A least-significant-digit radix sort: each pass counts one
/// 11-bit digit per chunk, then scatters every chunk to its own run of each bucket. The chunks are
/// fixed by the item count alone, so the passes run in parallel and the result never depends on
/// the scheduling. A pass whose digit is the same in every item is skipped.
inline void stable_sort_by_upper_half(std::vector<std::uint64_t>& items) {
  constexpr unsigned kDigitBits = 11;  // 2048 counters per chunk: a chunk's histogram stays in L1
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  constexpr unsigned kPasses = (32 + kDigitBits - 1) / kDigitBits;
  constexpr std::size_t kChunkItems = 32768;  // enough work per chunk to be worth a task
  constexpr std::size_t kMaxChunks = 64;      // bounds the histograms' memory on huge inputs
  const std::size_t n = items.size();
  if (n < 2) return;
  const std::size_t chunks = std::min(kMaxChunks, (n + kChunkItems - 1) / kChunkItems);
  const std::size_t chunk_items = (n + chunks - 1) / chunks;
  std::vector<std::uint64_t> scratch(n);
  std::vector<std::size_t> offsets(chunks * kBuckets);
  std::uint64_t* from = items.data();
  std::uint64_t* to = scratch.data();
  for (unsigned pass = 0; pass < kPasses; ++pass) {
    const unsigned shift = 32 + pass * kDigitBits;
    const auto digit = [shift](std::uint64_t item) {
      return static_cast<std::size_t>(item >> shift) & (kBuckets - 1);
    };
    std::fill(offsets.begin(), offsets.end(), 0);
    parallel_for(chunks, [&](std::size_t c) {
      std::size_t* count = offsets.data() + c * kBuckets;
      for (std::size_t i = c * chunk_items, end = std::min(n, i + chunk_items); i < end; ++i)
        ++count[digit(from[i])];
    });
    // Bucket-major, chunk-minor running sum: each chunk's run of a bucket follows the runs of the
    // earlier chunks, which keeps equal digits in their current order.
    std::size_t total = 0;
    bool one_bucket = false;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      const std::size_t bucket_first = total;
      for (std::size_t c = 0; c < chunks; ++c) {
        const std::size_t count = offsets[c * kBuckets + b];
        offsets[c * kBuckets + b] = total;
        total += count;
      }
      one_bucket |= total - bucket_first == n;
    }
    if (one_bucket) continue;
    parallel_for(chunks, [&](std::size_t c) {
      std::size_t* next = offsets.data() + c * kBuckets;
      for (std::size_t i = c * chunk_items, end = std::min(n, i + chunk_items); i < end; ++i)
        to[next[digit(from[i])]++] = from[i];
    });
    std::swap(from, to);
  }
  if (from != items.data()) items.swap(scratch);
}

/// Unstable parallel sort of [first, last) by less.
template <class It, class Less>
void parallel_sort(It first, It last, Less&& less) {
  tbb::parallel_sort(first, last, less);
}

}  // namespace quorlin
