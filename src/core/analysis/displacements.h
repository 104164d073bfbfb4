// Sums of displacements per track and lag: the ingredients of mean squared displacements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Per track and lag, the number of pairs of detections that lag apart and the sums of their
/// displacements and squared displacements along each axis. Lags count frames (1 to max_lag);
/// arrays are row-major: counts[track][lag - 1], sums[track][lag - 1][axis].
struct DisplacementSums {
  std::size_t tracks = 0;
  std::size_t max_lag = 0;
  std::size_t dims = 0;
  std::vector<std::uint64_t> counts;
  std::vector<double> sums;
  std::vector<double> squared_sums;
};

/// Pairs every detection with each later detection of its own track at most max_lag frames
/// away, so a track that skips frames contributes exactly the lags it really has. Positions must
/// be finite.
///
/// frames: frame number of each detection; positions: one row per detection, one column per
/// axis; track_starts: tracks + 1 offsets, track t owning rows [track_starts[t],
/// track_starts[t + 1]), within which frames strictly increase (the caller checks this).
/// Tracks run in parallel; each sums its own pairs in an order fixed by its frames alone, so the
/// result does not depend on the number of workers.
DisplacementSums displacement_sums(View1<std::int64_t> frames, View2<double> positions,
                                   View1<std::int64_t> track_starts, std::size_t max_lag);

}  // namespace quorlin
