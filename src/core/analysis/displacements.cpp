// Sums of displacements per track and lag.
#include "analysis/displacements.h"

#include "common/errors.h"
#include "common/parallel.h"

namespace quorlin {
namespace {

/// Rejects offsets that leave the table or run backwards, and frames that do not increase
/// within a track: the pairing loop relies on both.
void check_tracks(View1<std::int64_t> frames, View2<double> positions,
                  View1<std::int64_t> track_starts) {
  const auto rows = static_cast<std::int64_t>(frames.shape[0]);
  if (positions.shape[0] != frames.shape[0]) {
    throw ValueError("positions must have one row per frame number");
  }
  std::int64_t previous = 0;
  for (std::uint64_t t = 0; t < track_starts.shape[0]; ++t) {
    const std::int64_t start = track_starts(t);
    if (start < previous || start > rows) {
      throw ValueError("track_starts must be non-decreasing offsets into the table");
    }
    for (std::int64_t i = previous + 1; t > 0 && i < start; ++i) {
      if (frames(i) <= frames(i - 1)) {
        throw ValueError("frames must increase strictly within each track");
      }
    }
    previous = start;
  }
}

}  // namespace

DisplacementSums displacement_sums(View1<std::int64_t> frames, View2<double> positions,
                                   View1<std::int64_t> track_starts, std::size_t max_lag) {
  DisplacementSums out;
  out.tracks = track_starts.shape[0] == 0 ? 0 : track_starts.shape[0] - 1;
  out.max_lag = max_lag;
  out.dims = positions.shape[1];
  check_tracks(frames, positions, track_starts);
  const std::size_t cells = out.tracks * max_lag;
  out.counts.assign(cells, 0);
  out.sums.assign(cells * out.dims, 0.0);
  out.squared_sums.assign(cells * out.dims, 0.0);

  const std::size_t dims = out.dims;
  parallel_for(out.tracks, [&](std::size_t t) {
    const auto first = static_cast<std::size_t>(track_starts(t));
    const auto end = static_cast<std::size_t>(track_starts(t + 1));
    std::uint64_t* counts = out.counts.data() + t * max_lag;
    double* sums = out.sums.data() + t * max_lag * dims;
    double* squared = out.squared_sums.data() + t * max_lag * dims;
    for (std::size_t i = first; i < end; ++i) {
      for (std::size_t j = i + 1; j < end; ++j) {
        const auto lag = static_cast<std::uint64_t>(frames(j) - frames(i));
        if (lag > max_lag) break;
        ++counts[lag - 1];
        for (std::size_t a = 0; a < dims; ++a) {
          const double step = positions(j, a) - positions(i, a);
          sums[(lag - 1) * dims + a] += step;
          squared[(lag - 1) * dims + a] += step * step;
        }
      }
    }
  });
  return out;
}

}  // namespace quorlin
