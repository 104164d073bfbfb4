// The per-peak loop shared by 2-D and 3-D localization: peaks refined in parallel, kept in list
// order, up to a budget.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/parallel.h"

namespace quorlin {

/// Runs refine(peak) -> std::optional<Peak> on the peaks in list order and returns the refined
/// peaks that have a value, stopping once max_num_peaks are kept.
///
/// Each peak's outcome depends on nothing but the image and the peak, so batches of peaks are
/// refined in parallel and joined in list order; taking the first max_num_peaks kept peaks of
/// that list is exactly the sequential loop that stops when the output is full. A batch is no
/// larger than the remaining budget (but not tiny), so little work is wasted past the budget.
template <class Peak, class Refine>
std::vector<Peak> refine_in_order(const std::vector<Peak>& peaks,
                                  std::optional<std::uint64_t> max_num_peaks, Refine&& refine) {
  // Below this many peaks a batch costs more in scheduling than it wastes past the budget.
  constexpr std::size_t kMinBatch = 64;
  // Peaks per task: one window estimate takes microseconds, so a task of 16 outweighs its
  // scheduling while a few hundred peaks still spread over the workers.
  constexpr std::size_t kPeaksPerTask = 16;
  std::vector<Peak> kept;
  std::size_t next = 0;
  const auto full = [&] { return max_num_peaks && kept.size() >= *max_num_peaks; };
  while (next < peaks.size() && !full()) {
    std::size_t batch = peaks.size() - next;
    if (max_num_peaks)
      batch = std::min<std::size_t>(batch, std::max<std::size_t>(*max_num_peaks - kept.size(), kMinBatch));
    auto refined = parallel_gather<Peak>(
        batch,
        [&](std::size_t k, std::vector<Peak>& out) {
          if (auto p = refine(peaks[next + k])) out.push_back(*p);
        },
        kPeaksPerTask);
    for (const Peak& p : refined) {
      if (full()) break;
      kept.push_back(p);
    }
    next += batch;
  }
  return kept;
}

}  // namespace quorlin
