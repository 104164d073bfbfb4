// Linking the points of successive frames into tracks, shared by 2-D and 3-D: the point store, the
// per-frame search index, the optimal assignment of every (frame, gap) pair, the recording of links
// with precedence of shorter gaps, and track assembly. `link_points` is the 2-D entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/array_view.h"
#include "common/types.h"

namespace quorlin {

/// One point of a frame: D coordinates (x, y[, z], in the caller's unit) and its intensity, copied
/// bit for bit from the frame's row.
template <std::size_t D>
struct PointND {
  std::array<float, D> position;
  float intensity;
};
using Point2D = PointND<2>;

/// The points of all frames: frame 0's rows in row order, then frame 1's, and so on. A point's
/// global index is its position in `points`; frame k holds [frame_begin[k], frame_begin[k + 1]).
template <std::size_t D>
struct PointStore {
  std::vector<PointND<D>> points;
  std::vector<std::uint64_t> frame_begin{0};
  std::size_t frames() const { return frame_begin.size() - 1; }
};

/// Reads columns 0 .. D (coordinates, then intensity) of every row of every frame. A frame with
/// rows but fewer than D + 1 columns raises ValueError naming points_list and the frame's index.
template <std::size_t D>
PointStore<D> read_points(std::span<const View2<float>> frames);

/// Predecessor and successor of every point (by global index); kNone where there is no link.
struct LinkTable {
  static constexpr std::uint64_t kNone = ~std::uint64_t{0};
  std::vector<std::uint64_t> predecessor;
  std::vector<std::uint64_t> successor;
  explicit LinkTable(std::size_t points) : predecessor(points, kNone), successor(points, kNone) {}
};

/// A proposed link (source global index, target global index).
using LinkPair = std::pair<std::uint64_t, std::uint64_t>;

/// Tracks in the order of their start points' global indices; points without any link are dropped.
template <std::size_t D>
Tracks assemble_tracks(const PointStore<D>& store, const LinkTable& links);

/// The distance gate and the integer costs of one linking call.
struct DistanceScale {
  float max_distance = 0;
  float max_distance_squared = 0;  ///< max_distance * max_distance, 32-bit product
  std::int64_t no_link_cost = 0;   ///< S = trunc(1000000 * max_distance), in millionths
  float axis_reach = 0;            ///< largest t with t * t <= max_distance_squared (32-bit)
};

/// Derives the scale from max_distance. Raises ValueError naming max_distance when the no-link
/// cost is not positive (zero, negative, NaN, below 0.000001) or when ten times it reaches 2^63
/// (infinite or above about 9.2e11): the costs would no longer single out the optimal links.
DistanceScale distance_scale(float max_distance);

/// Intensity test of 3-D linking: every pair of intensities passes.
struct AnyIntensity {
  bool operator()(float, float) const { return true; }
};

/// Symmetric intensity-ratio gate of 2-D linking: fails when either intensity exceeds
/// max_ratio times the other (32-bit products); equality and NaN intensities pass.
struct IntensityRatioGate {
  float max_ratio;
  bool operator()(float source, float target) const {
    return !(target > max_ratio * source) && !(source > max_ratio * target);
  }
};

/// The links of the stored points under the rules of link_points_with (below), by global index:
/// the step before track assembly, for callers that need each track point's frame and row.
template <std::size_t D, class Gate>
LinkTable link_table_with(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                          const Gate& gate);

/// Links the frames' points (D coordinates and an intensity per row) into tracks: every pair of
/// frames up to max_skip + 1 apart is solved by an exact optimal assignment under the distance gate
/// and `gate`, in parallel; links are recorded by gap ascending, then source frame, so shorter gaps
/// take precedence. Where several assignments share the smallest total cost, one with more links
/// is preferred where the solver meets the tie (so a lone link costing exactly the no-link price,
/// at exactly max_distance, is made). The choice never depends on scheduling. Returns the
/// (N, D + 1) matrix and the end indices.
template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate);

/// 2-D linking: rows (x, y, intensity), distance gate and intensity-ratio gate.
TrackArrays link_points(std::span<const View2<float>> frames, float max_distance,
                        std::uint64_t max_skip, float max_intensity_ratio);

}  // namespace quorlin
