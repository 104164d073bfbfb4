// Sums of displacements per track and lag: the ingredients of mean squared displacements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Per track, the lags (in frames) at which it has pairs of detections, each with the number of
/// pairs and the sums of their displacements and squared displacements along each axis. Only the
/// (track, lag) cells that have pairs are kept, so the size follows the pairs that exist, never
/// tracks x lags. Track t's cells are [cell_begin[t], cell_begin[t + 1]), lags ascending; the sums
/// are row-major: sums[cell * dims + axis].
struct DisplacementSums {
  std::size_t tracks = 0;
  std::size_t dims = 0;
  std::vector<std::uint64_t> cell_begin;
  std::vector<std::uint64_t> lags;
  std::vector<std::uint64_t> counts;
  std::vector<double> sums;
  std::vector<double> squared_sums;
};

/// Pairs every detection with each later detection of its own track at most max_lag frames
/// away, so a track that skips frames contributes exactly the lags it really has. Positions must
/// be finite.
///
/// frames: frame number of each detection, within +-2^62; positions: one row per detection, one
/// column per axis; track_starts: tracks + 1 offsets, track t owning rows [track_starts[t],
/// track_starts[t + 1]), within which frames strictly increase (ValueError otherwise).
/// Tracks run in parallel; each sums its own pairs in an order fixed by its frames alone (for
/// each lag, by the earlier detection, then the later one), so the result does not depend on the
/// number of workers. The memory the cells may need is checked before any is taken: MemoryError
/// when it exceeds what is available.
DisplacementSums displacement_sums(View1<std::int64_t> frames, View2<double> positions,
                                   View1<std::int64_t> track_starts, std::uint64_t max_lag);

}  // namespace quorlin
