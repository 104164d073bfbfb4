// The track format shared by linking and rendering, and its conversion into result arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/array_view.h"

namespace quorlin {

/// Tracks in output order: the rows of every track one after another (width floats per row:
/// coordinates, then intensity) and the number of rows of each track.
struct Tracks {
  std::size_t width = 0;
  std::vector<float> values;
  std::vector<std::uint64_t> lengths;
};

/// The two result arrays of a linking call: the (N, width) float32 row matrix and the exclusive
/// end row of each track.
struct TrackArrays {
  ResultArray<float> matrix;
  ResultArray<std::uint32_t> track_end_indices;
};

/// Exclusive end row of each track, given the tracks' row counts. Throws OverflowError when an end
/// index does not fit in 32 bits, instead of letting it wrap.
std::vector<std::uint32_t> track_end_indices(const std::vector<std::uint64_t>& lengths);

/// Shapes the tracks' rows as an (N, width) matrix and computes the end indices.
TrackArrays tracks_to_arrays(Tracks&& tracks);

}  // namespace quorlin
