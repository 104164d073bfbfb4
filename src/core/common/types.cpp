// Conversion of tracks into the row matrix and the 32-bit end indices.
#include "common/types.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/errors.h"

namespace quorlin {

std::vector<std::uint32_t> track_end_indices(const std::vector<std::uint64_t>& lengths) {
  std::vector<std::uint32_t> ends;
  ends.reserve(lengths.size());
  std::uint64_t rows = 0;
  for (std::uint64_t n : lengths) {
    rows += n;
    // Counted in rows, not in floats, so every end index is exact up to 2^32 - 1 rows.
    if (rows > std::numeric_limits<std::uint32_t>::max())
      throw OverflowError(
          "the tracks hold " + std::to_string(rows) +
          " rows or more; track_end_indices are 32-bit and cannot index beyond row " +
          std::to_string(std::numeric_limits<std::uint32_t>::max()));
    ends.push_back(static_cast<std::uint32_t>(rows));
  }
  return ends;
}

TrackArrays tracks_to_arrays(Tracks&& tracks) {
  if (tracks.width == 0) throw std::invalid_argument("tracks_to_arrays: zero row width");
  TrackArrays out;
  out.track_end_indices = ResultArray<std::uint32_t>(
      track_end_indices(tracks.lengths), {static_cast<std::uint64_t>(tracks.lengths.size())});
  const std::uint64_t rows = tracks.values.size() / tracks.width;
  if (rows * tracks.width != tracks.values.size() ||
      (!tracks.lengths.empty() && rows != out.track_end_indices.data.back()) ||
      (tracks.lengths.empty() && rows != 0))
    throw std::logic_error("tracks_to_arrays: row count does not match the track lengths");
  out.matrix = ResultArray<float>(std::move(tracks.values), {rows, tracks.width});
  return out;
}

}  // namespace quorlin
