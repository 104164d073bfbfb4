// The shape of each track's path: its length, its net displacement and its turning.
#pragma once

#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Per track, in the positions' unit: the summed lengths of its steps (between successive rows),
/// the distance from its first to its last row, and the sum and number of its turning angles:
/// the unsigned angle (radians, 0 to pi) between each step and the next, over pairs of steps of
/// non-zero length.
struct TrackGeometry {
  std::vector<double> path;
  std::vector<double> net;
  std::vector<double> turning;
  std::vector<std::uint64_t> turns;
};

/// positions: one row per detection, 2 or 3 columns (ValueError otherwise), rows of track t in
/// [track_starts[t], track_starts[t + 1]) in frame order. Tracks run in parallel, each summed in
/// row order, so the result does not depend on the number of workers.
TrackGeometry track_geometry(View2<double> positions, View1<std::int64_t> track_starts);

}  // namespace quorlin
