// The gaps over which a source point may still link, for calls whose frame pairs are mostly empty
// of candidates (few points per frame against many frames within reach): every point filed in one
// spatial index over all frames, each cell's points in frame order, points that already have a
// predecessor skipped.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/frame_pair.h"
#include "link/frame_points.h"
#include "link/link_cost.h"
#include "link/points.h"

namespace quorlin {

/// Answers, for a point, the shortest gap above a given one at which a point of a later frame that
/// has no predecessor yet passes every gate of a link from it. Not safe for concurrent use: the
/// skipping of taken points compresses its paths as it reads.
template <std::size_t D, class Gate>
class GapSearch {
 public:
  /// A target found: its gap, its stored frame and its slot (for still_free).
  struct Found {
    std::uint64_t gap;
    std::size_t frame;
    std::uint64_t slot;
  };

  /// Files the store's points with a finite position. limit: the longest gap (max_skip + 1,
  /// saturated).
  GapSearch(const PointStore<D>& store, const DistanceScale& scale, const Gate& gate,
            std::uint64_t limit)
      : store_(store), scale_(scale), gate_(gate), limit_(limit) {
    const std::size_t n = store.points.size();
    frame_of_.resize(n);
    for (std::size_t k = 0; k < store.frames(); ++k)
      std::fill(frame_of_.begin() + static_cast<std::ptrdiff_t>(store.frame_begin[k]),
                frame_of_.begin() + static_cast<std::ptrdiff_t>(store.frame_begin[k + 1]), k);
    index_ = SpatialIndex<D>(
        n, [&](std::size_t p) { return store.points[p].position; },
        static_cast<double>(scale.axis_reach) * frame_points_detail::kIndexReachWidening);
    // Grouped by cell by a counting sort, each cell in global index order, so in frame order.
    cell_start_.assign(index_.cell_count() + 1, 0);
    for (std::size_t p = 0; p < n; ++p)
      if (index_.cell_of(p) != SpatialIndex<D>::kNoCell) ++cell_start_[index_.cell_of(p) + 1];
    for (std::size_t c = 0; c < index_.cell_count(); ++c) cell_start_[c + 1] += cell_start_[c];
    std::vector<std::uint64_t> fill(cell_start_.begin(), cell_start_.end() - 1);
    entries_.resize(cell_start_.back());
    slot_of_.assign(n, kNotFiled);
    for (std::size_t p = 0; p < n; ++p) {
      const std::size_t c = index_.cell_of(p);
      if (c == SpatialIndex<D>::kNoCell) continue;
      const std::uint64_t slot = fill[c]++;
      slot_of_[p] = slot;
      Entry& e = entries_[slot];
      e.point = p;
      e.frame = frame_of_[p];
      e.at = store.points[p];
      for (std::size_t a = 0; a < D; ++a)
        e.neighbourhood[a] = neighbourhood_cell(e.at.position[a], scale.max_distance);
    }
    next_free_.resize(entries_.size() + 1);
    for (std::uint64_t s = 0; s < next_free_.size(); ++s) next_free_[s] = s;
  }

  /// Whether point p has a finite position (only such points ever link).
  bool filed(std::uint64_t p) const { return slot_of_[p] != kNotFiled; }
  /// The stored frame of point p.
  std::size_t frame_of(std::uint64_t p) const { return frame_of_[p]; }

  /// The shortest gap above `after`, at most the limit, from filed point p to a point without a
  /// predecessor that passes every gate; none if there is no such point.
  std::optional<Found> next(std::uint64_t p, std::uint64_t after) {
    const std::size_t source_frame = frame_of_[p];
    // The first stored frame past the gap `after`: gaps grow with the stored frame.
    std::size_t lo = source_frame + 1, hi = store_.frames();
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (store_.gap(source_frame, mid) > after)
        hi = mid;
      else
        lo = mid + 1;
    }
    const std::size_t first_frame = lo;
    const Entry& source = entries_[slot_of_[p]];
    std::optional<Found> best;
    index_.any_adjacent(index_.cell_of(p), [&](std::size_t c) {
      const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(cell_start_[c]);
      const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(cell_start_[c + 1]);
      const auto from = std::lower_bound(begin, end, first_frame,
                                         [](const Entry& e, std::size_t f) { return e.frame < f; });
      const auto last = static_cast<std::uint64_t>(end - entries_.begin());
      for (std::uint64_t s = free_from(static_cast<std::uint64_t>(from - entries_.begin()));
           s < last; s = free_from(s + 1)) {
        const Entry& target = entries_[s];
        const std::uint64_t gap = store_.gap(source_frame, target.frame);
        if (gap > limit_ || (best && gap >= best->gap)) break;
        if (feasible_link<D>(scale_, gate_, source.at, source.neighbourhood, target.at,
                             target.neighbourhood)) {
          best = Found{gap, target.frame, s};
          break;
        }
      }
      return false;
    });
    return best;
  }

  /// Whether the target found in `slot` has no predecessor yet. While it has none, the gap it was
  /// found at is still the shortest: targets are only ever taken, never given back.
  bool still_free(std::uint64_t slot) { return free_from(slot) == slot; }

  /// Point p has gained a predecessor: it is no longer a target.
  void taken(std::uint64_t p) {
    if (filed(p)) next_free_[slot_of_[p]] = slot_of_[p] + 1;
  }

 private:
  static constexpr std::uint64_t kNotFiled = ~std::uint64_t{0};

  struct Entry {
    std::uint64_t point;  ///< global index
    std::size_t frame;    ///< stored frame
    PointND<D> at;
    std::array<std::uint64_t, D> neighbourhood;  ///< neighbourhood_cell of each coordinate
  };

  /// The first slot at or after s whose point has no predecessor (entries_.size() if none), with
  /// path halving.
  std::uint64_t free_from(std::uint64_t s) {
    while (next_free_[s] != s) {
      next_free_[s] = next_free_[next_free_[s]];
      s = next_free_[s];
    }
    return s;
  }

  const PointStore<D>& store_;
  DistanceScale scale_;
  Gate gate_;
  std::uint64_t limit_;
  std::vector<std::size_t> frame_of_;
  SpatialIndex<D> index_;
  std::vector<std::uint64_t> cell_start_;
  std::vector<Entry> entries_;
  std::vector<std::uint64_t> slot_of_;
  std::vector<std::uint64_t> next_free_;
};

}  // namespace quorlin
