// Linking the points of successive frames into tracks, shared by 2-D and 3-D: every (frame, gap)
// pair is solved by an exact optimal assignment, and the links are recorded with precedence of
// shorter gaps. `link_points` is the 2-D entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/array_view.h"
#include "common/stop.h"
#include "common/types.h"
#include "link/link_cost.h"
#include "link/points.h"

namespace quorlin {

/// The links of the stored points under the rules of link_points_with (below), by global index:
/// the step before track assembly, for callers that need each track point's frame and row. Its
/// cost follows the points and the frames that hold them: frame pairs that cannot give a link
/// that is kept are never solved.
template <std::size_t D, class Gate>
LinkTable link_table_with(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                          const Gate& gate, const StopRequested& stopped = {});

/// Links the frames' points (D coordinates and an intensity per row) into tracks: every pair of
/// frames up to max_skip + 1 apart is solved by an exact optimal assignment under the distance gate
/// and `gate`, in parallel; links are recorded by gap ascending, then source frame, so shorter gaps
/// take precedence. Among assignments of equal smallest total cost, one with more links is taken
/// (so a lone link costing exactly the no-link price, at exactly max_distance, is made); see
/// FoldedCosts for the one case where this holds only where the solver meets the tie. The choice
/// never depends on scheduling. A frame pair whose working memory cannot be had raises
/// MemoryError naming it. Returns the (N, D + 1) matrix and the end indices.
template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate);

/// 2-D linking: rows (x, y, intensity), distance gate and intensity-ratio gate.
TrackArrays link_points(std::span<const View2<float>> frames, float max_distance,
                        std::uint64_t max_skip, float max_intensity_ratio);

}  // namespace quorlin
