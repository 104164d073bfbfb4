// Sums of displacements per track and lag.
#include "analysis/displacements.h"

#include <algorithm>
#include <array>

#include "common/errors.h"
#include "common/parallel.h"

namespace quorlin {
namespace {

/// A track at least this full (detections per frame of its span) is summed lag by lag over a
/// dense copy, a branch-free pass whose independent lanes keep the pipeline full; an emptier
/// track pairs its detections directly, so the work never grows with the length of its gaps.
constexpr double kDenseFill = 0.25;
/// Frame numbers stay within this magnitude, so the difference of any two fits in 64 bits.
constexpr std::int64_t kFrameLimit = std::int64_t{1} << 62;
/// Independent partial sums of the dense pass: enough to hide the latency of an addition.
constexpr std::size_t kLanes = 4;

/// Rejects offsets that leave the table or run backwards, and frames that do not increase
/// within a track: both passes rely on them.
void check_tracks(View1<std::int64_t> frames, View2<double> positions,
                  View1<std::int64_t> track_starts) {
  const auto rows = static_cast<std::int64_t>(frames.shape[0]);
  if (positions.shape[0] != frames.shape[0]) {
    throw ValueError("positions must have one row per frame number");
  }
  for (std::int64_t i = 0; i < rows; ++i) {
    if (frames(i) > kFrameLimit || frames(i) < -kFrameLimit) {
      throw ValueError("frame numbers must lie within +-2**62");
    }
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

/// Where one track's sums go: counts[lag - 1], sums[(lag - 1) * dims + axis].
struct TrackSums {
  std::uint64_t* counts;
  double* sums;
  double* squared;
};

/// Pairs each detection of rows [first, end) with the later ones at most max_lag frames away.
void pair_track(View1<std::int64_t> frames, View2<double> positions, std::size_t first,
                std::size_t end, std::size_t max_lag, TrackSums out) {
  const std::size_t dims = positions.shape[1];
  for (std::size_t i = first; i < end; ++i) {
    for (std::size_t j = i + 1; j < end; ++j) {
      const auto lag = static_cast<std::uint64_t>(frames(j) - frames(i));
      if (lag > max_lag) break;
      ++out.counts[lag - 1];
      for (std::size_t a = 0; a < dims; ++a) {
        const double step = positions(j, a) - positions(i, a);
        out.sums[(lag - 1) * dims + a] += step;
        out.squared[(lag - 1) * dims + a] += step * step;
      }
    }
  }
}

/// The same sums from a frame-indexed copy of the track: present[k] is 1 where the track has a
/// detection in its k-th frame (positions there, 0 elsewhere), so a pair counts as
/// present[k] * present[k + lag]. Positions must be finite (a missing frame holds 0, and
/// 0 * (inf - 0) would not vanish).
void dense_track(View1<std::int64_t> frames, View2<double> positions, std::size_t first,
                 std::size_t end, std::size_t max_lag, TrackSums out,
                 std::vector<double>& present, std::vector<double>& axis_major) {
  const std::size_t dims = positions.shape[1];
  const auto origin = frames(first);
  const auto span = static_cast<std::size_t>(frames(end - 1) - origin) + 1;
  present.assign(span, 0.0);
  axis_major.assign(span * dims, 0.0);
  for (std::size_t i = first; i < end; ++i) {
    const auto k = static_cast<std::size_t>(frames(i) - origin);
    present[k] = 1.0;
    for (std::size_t a = 0; a < dims; ++a) axis_major[a * span + k] = positions(i, a);
  }
  const std::size_t lags = std::min(max_lag, span - 1);
  for (std::size_t lag = 1; lag <= lags; ++lag) {
    const std::size_t pairs = span - lag;
    const std::size_t blocked = pairs - pairs % kLanes;
    std::array<double, kLanes> count{};
    for (std::size_t k = 0; k < blocked; k += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) count[l] += present[k + l] * present[k + l + lag];
    }
    double total = 0.0;
    for (std::size_t k = blocked; k < pairs; ++k) total += present[k] * present[k + lag];
    for (double c : count) total += c;
    out.counts[lag - 1] = static_cast<std::uint64_t>(total);

    for (std::size_t a = 0; a < dims; ++a) {
      const double* x = axis_major.data() + a * span;
      std::array<double, kLanes> sum{}, squared{};
      for (std::size_t k = 0; k < blocked; k += kLanes) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          const double step = (x[k + l + lag] - x[k + l]) * present[k + l] * present[k + l + lag];
          sum[l] += step;
          squared[l] += step * step;
        }
      }
      double s = 0.0, q = 0.0;
      for (std::size_t k = blocked; k < pairs; ++k) {
        const double step = (x[k + lag] - x[k]) * present[k] * present[k + lag];
        s += step;
        q += step * step;
      }
      for (std::size_t l = 0; l < kLanes; ++l) {
        s += sum[l];
        q += squared[l];
      }
      out.sums[(lag - 1) * dims + a] = s;
      out.squared[(lag - 1) * dims + a] = q;
    }
  }
}

}  // namespace

DisplacementSums displacement_sums(View1<std::int64_t> frames, View2<double> positions,
                                   View1<std::int64_t> track_starts, std::size_t max_lag) {
  check_tracks(frames, positions, track_starts);
  DisplacementSums out;
  out.tracks = track_starts.shape[0] == 0 ? 0 : track_starts.shape[0] - 1;
  out.max_lag = max_lag;
  out.dims = positions.shape[1];
  const std::size_t cells = out.tracks * max_lag;
  out.counts.assign(cells, 0);
  out.sums.assign(cells * out.dims, 0.0);
  out.squared_sums.assign(cells * out.dims, 0.0);

  const std::size_t dims = out.dims;
  parallel_for(out.tracks, [&](std::size_t t) {
    const auto first = static_cast<std::size_t>(track_starts(t));
    const auto end = static_cast<std::size_t>(track_starts(t + 1));
    if (end == first) return;
    const TrackSums sums{out.counts.data() + t * max_lag, out.sums.data() + t * max_lag * dims,
                         out.squared_sums.data() + t * max_lag * dims};
    const auto span = static_cast<double>(frames(end - 1) - frames(first)) + 1.0;
    if (static_cast<double>(end - first) >= kDenseFill * span) {
      std::vector<double> present, axis_major;
      dense_track(frames, positions, first, end, max_lag, sums, present, axis_major);
    } else {
      pair_track(frames, positions, first, end, max_lag, sums);
    }
  });
  return out;
}

}  // namespace quorlin
