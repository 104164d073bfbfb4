// The points that linking reads, the links it makes, and the tracks those links form.
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

/// The points of the frames that have any, in ascending frame number: the first such frame's rows
/// in row order, then the next one's, and so on. A point's global index is its position in
/// `points`; stored frame k, numbered frame_number[k], holds [frame_begin[k], frame_begin[k + 1]).
/// Frames without points are not stored: the work of linking follows the points and the frames
/// that hold them, whatever the span of the frame numbers. A gap between two frames is the
/// difference of their numbers.
template <std::size_t D>
struct PointStore {
  std::vector<PointND<D>> points;
  std::vector<std::uint64_t> frame_begin{0};
  std::vector<std::int64_t> frame_number;  ///< strictly ascending
  std::size_t frames() const { return frame_begin.size() - 1; }
  /// The gap from stored frame a to a later stored frame b, in frame numbers (exact: the
  /// difference of two int64 values in ascending order fits 64 unsigned bits).
  std::uint64_t gap(std::size_t a, std::size_t b) const {
    return static_cast<std::uint64_t>(frame_number[b]) - static_cast<std::uint64_t>(frame_number[a]);
  }
};

/// Reads columns 0 .. D (coordinates, then intensity) of every row of every frame; frame k of the
/// list is frame number k. A frame with rows but fewer than D + 1 columns raises ValueError naming
/// points_list and the frame's index.
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

}  // namespace quorlin
