// Parallel loops on the process-wide oneTBB work-stealing pool. Results never depend on
// scheduling: loops hand each index to exactly one task, and gathered outputs keep index order.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cstddef>
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

}  // namespace quorlin
