// Sums of displacements per track and lag, kept only where a track has pairs at that lag.
#include "analysis/displacements.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "common/errors.h"
#include "common/memory.h"
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

/// The frames from frame a to a later frame b, both within +-2^62: at most 2^63, exact in
/// unsigned 64-bit arithmetic (the signed difference could overflow).
std::uint64_t frames_apart(std::int64_t a, std::int64_t b) {
  return static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

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

/// How one track is summed, and the most it can need: `cells` output cells and `scratch` bytes.
struct TrackPlan {
  enum class Kind { dense, by_lag, sorted } kind = Kind::dense;
  std::uint64_t first = 0, end = 0;  ///< its rows
  std::uint64_t lags = 0;            ///< min(max_lag, span - 1): the lags it can have
  std::uint64_t cells = 0;
  std::uint64_t scratch = 0;
};

/// A pair of one sparse track: its lag and its rows, sorted by lag with the pairs of one lag kept
/// in the order they were found.
struct PairRef {
  std::uint64_t lag;
  std::uint64_t i;
  std::uint64_t j;
};

TrackPlan plan_track(View1<std::int64_t> frames, std::uint64_t first, std::uint64_t end,
                     std::uint64_t max_lag, std::size_t dims) {
  TrackPlan plan{TrackPlan::Kind::dense, first, end, 0, 0, 0};
  if (end - first < 2) return plan;
  // At most 2^63: the frames lie within +-2^62.
  const std::uint64_t span_minus_one = frames_apart(frames(first), frames(end - 1));
  plan.lags = std::min(max_lag, span_minus_one);
  const std::uint64_t per_cell = sizeof(std::uint64_t) + 2 * dims * sizeof(double);
  if (static_cast<double>(end - first) >= kDenseFill * (static_cast<double>(span_minus_one) + 1)) {
    plan.cells = plan.lags;
    plan.scratch = (span_minus_one + 1) * (1 + dims) * sizeof(double);  // below 4 (1 + dims) rows
    return plan;
  }
  std::uint64_t pairs = 0;
  for (std::uint64_t i = first, j = first + 1; i < end; ++i) {
    j = std::max(j, i + 1);
    while (j < end && frames_apart(frames(i), frames(j)) <= max_lag) ++j;
    pairs += j - i - 1;
  }
  plan.cells = std::min(plan.lags, pairs);
  // Pairs summed straight into a cell per lag, or, where the lags far outnumber the pairs,
  // listed and sorted by lag: whichever needs less memory.
  const unsigned __int128 by_lag = static_cast<unsigned __int128>(plan.lags) * per_cell;
  const unsigned __int128 sorted = static_cast<unsigned __int128>(pairs) * sizeof(PairRef);
  plan.kind = by_lag <= sorted ? TrackPlan::Kind::by_lag : TrackPlan::Kind::sorted;
  plan.scratch = static_cast<std::uint64_t>(std::min(by_lag, sorted));
  return plan;
}

/// Where one track's cells go, from its first cell on; `written` counts those filled.
struct TrackCells {
  std::uint64_t* lags;
  std::uint64_t* counts;
  double* sums;
  double* squared;
  std::size_t dims;
  std::uint64_t written = 0;

  /// Appends the cell of `lag` if it has pairs.
  void add(std::uint64_t lag, std::uint64_t count, const double* sum, const double* square) {
    if (count == 0) return;
    lags[written] = lag;
    counts[written] = count;
    std::copy(sum, sum + dims, sums + written * dims);
    std::copy(square, square + dims, squared + written * dims);
    ++written;
  }
};

/// Pairs each detection of a sparse track with the later ones at most max_lag frames away,
/// summing each lag's pairs by the earlier detection, then the later one, from 0.
void pair_track(View1<std::int64_t> frames, View2<double> positions, const TrackPlan& plan,
                std::uint64_t max_lag, TrackCells& out) {
  const std::size_t dims = positions.shape[1];
  const auto for_each_pair = [&](auto&& visit) {
    for (std::uint64_t i = plan.first; i < plan.end; ++i) {
      for (std::uint64_t j = i + 1; j < plan.end; ++j) {
        const std::uint64_t lag = frames_apart(frames(i), frames(j));
        if (lag > max_lag) break;
        visit(lag, i, j);
      }
    }
  };
  std::vector<double> sum(dims), square(dims);
  const auto add_step = [&](std::uint64_t i, std::uint64_t j, double* s, double* q) {
    for (std::size_t a = 0; a < dims; ++a) {
      const double step = positions(j, a) - positions(i, a);
      s[a] += step;
      q[a] += step * step;
    }
  };
  if (plan.kind == TrackPlan::Kind::by_lag) {
    std::vector<std::uint64_t> counts(plan.lags, 0);
    std::vector<double> sums(plan.lags * dims, 0.0), squared(plan.lags * dims, 0.0);
    for_each_pair([&](std::uint64_t lag, std::uint64_t i, std::uint64_t j) {
      ++counts[lag - 1];
      add_step(i, j, sums.data() + (lag - 1) * dims, squared.data() + (lag - 1) * dims);
    });
    for (std::uint64_t lag = 1; lag <= plan.lags; ++lag)
      out.add(lag, counts[lag - 1], sums.data() + (lag - 1) * dims,
              squared.data() + (lag - 1) * dims);
    return;
  }
  std::vector<PairRef> pairs;
  for_each_pair([&](std::uint64_t lag, std::uint64_t i, std::uint64_t j) {
    pairs.push_back({lag, i, j});
  });
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const PairRef& x, const PairRef& y) { return x.lag < y.lag; });
  for (std::size_t k = 0; k < pairs.size();) {
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(square.begin(), square.end(), 0.0);
    std::size_t next = k;
    for (; next < pairs.size() && pairs[next].lag == pairs[k].lag; ++next)
      add_step(pairs[next].i, pairs[next].j, sum.data(), square.data());
    out.add(pairs[k].lag, next - k, sum.data(), square.data());
    k = next;
  }
}

/// The same sums from a frame-indexed copy of the track: present[k] is 1 where the track has a
/// detection in its k-th frame (positions there, 0 elsewhere), so a pair counts as
/// present[k] * present[k + lag]. Positions must be finite (a missing frame holds 0, and
/// 0 * (inf - 0) would not vanish).
void dense_track(View1<std::int64_t> frames, View2<double> positions, const TrackPlan& plan,
                 TrackCells& out) {
  const std::size_t dims = positions.shape[1];
  const auto origin = frames(plan.first);
  const std::size_t span = frames_apart(origin, frames(plan.end - 1)) + 1;  // below 4 rows each
  std::vector<double> present(span, 0.0), axis_major(span * dims, 0.0);
  for (std::size_t i = plan.first; i < plan.end; ++i) {
    const std::size_t k = frames_apart(origin, frames(i));
    present[k] = 1.0;
    for (std::size_t a = 0; a < dims; ++a) axis_major[a * span + k] = positions(i, a);
  }
  std::vector<double> sums(dims), squares(dims);
  for (std::size_t lag = 1; lag <= plan.lags; ++lag) {
    const std::size_t pairs = span - lag;
    const std::size_t blocked = pairs - pairs % kLanes;
    std::array<double, kLanes> count{};
    for (std::size_t k = 0; k < blocked; k += kLanes) {
      for (std::size_t l = 0; l < kLanes; ++l) count[l] += present[k + l] * present[k + l + lag];
    }
    double total = 0.0;
    for (std::size_t k = blocked; k < pairs; ++k) total += present[k] * present[k + lag];
    for (double c : count) total += c;

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
      sums[a] = s;
      squares[a] = q;
    }
    out.add(lag, static_cast<std::uint64_t>(total), sums.data(), squares.data());
  }
}

/// Each track's cells moved down to follow the previous track's, in place (track t wrote written[t]
/// cells from room[t] on), and the arrays cut to the cells written; sets cell_begin.
void pack_cells(DisplacementSums& out, const std::vector<std::uint64_t>& room,
                const std::vector<std::uint64_t>& written) {
  const std::size_t dims = out.dims;
  out.cell_begin.assign(out.tracks + 1, 0);
  for (std::size_t t = 0; t < out.tracks; ++t) {
    const std::uint64_t to = out.cell_begin[t], from = room[t], n = written[t];
    if (to != from && n != 0) {
      std::memmove(out.lags.data() + to, out.lags.data() + from, n * sizeof(std::uint64_t));
      std::memmove(out.counts.data() + to, out.counts.data() + from, n * sizeof(std::uint64_t));
      std::memmove(out.sums.data() + to * dims, out.sums.data() + from * dims, n * dims * sizeof(double));
      std::memmove(out.squared_sums.data() + to * dims, out.squared_sums.data() + from * dims,
                   n * dims * sizeof(double));
    }
    out.cell_begin[t + 1] = to + n;
  }
  const std::uint64_t cells = out.cell_begin.back();
  out.lags.resize(cells);
  out.counts.resize(cells);
  out.sums.resize(cells * dims);
  out.squared_sums.resize(cells * dims);
}

}  // namespace

DisplacementSums displacement_sums(View1<std::int64_t> frames, View2<double> positions,
                                   View1<std::int64_t> track_starts, std::uint64_t max_lag) {
  check_tracks(frames, positions, track_starts);
  DisplacementSums out;
  out.tracks = track_starts.shape[0] == 0 ? 0 : track_starts.shape[0] - 1;
  out.dims = positions.shape[1];
  const std::size_t dims = out.dims;

  std::vector<TrackPlan> plans(out.tracks);
  parallel_for(out.tracks, [&](std::size_t t) {
    plans[t] = plan_track(frames, static_cast<std::uint64_t>(track_starts(t)),
                          static_cast<std::uint64_t>(track_starts(t + 1)), max_lag, dims);
  });
  // Room for every cell a track can have, taken only once the memory is known to suffice.
  std::vector<std::uint64_t> room(out.tracks + 1, 0);
  std::uint64_t scratch = 0;
  for (std::size_t t = 0; t < out.tracks; ++t) {
    room[t + 1] = room[t] + plans[t].cells;  // at most the pairs: no wrap
    scratch = std::max(scratch, plans[t].scratch);
  }
  MemoryBudget budget;
  budget.take(room.back(), 2 * sizeof(std::uint64_t) + 2 * dims * sizeof(double),
              "the displacement sums of every track and lag with pairs");
  budget.take(scratch, std::max(1u, std::thread::hardware_concurrency()),
              "the working copies of the longest tracks");
  out.lags.resize(room.back());
  out.counts.resize(room.back());
  out.sums.resize(room.back() * dims);
  out.squared_sums.resize(room.back() * dims);

  std::vector<std::uint64_t> written(out.tracks, 0);
  parallel_for(out.tracks, [&](std::size_t t) {
    const TrackPlan& plan = plans[t];
    if (plan.lags == 0) return;
    TrackCells cells{out.lags.data() + room[t], out.counts.data() + room[t],
                     out.sums.data() + room[t] * dims, out.squared_sums.data() + room[t] * dims,
                     dims};
    if (plan.kind == TrackPlan::Kind::dense)
      dense_track(frames, positions, plan, cells);
    else
      pair_track(frames, positions, plan, max_lag, cells);
    written[t] = cells.written;
  });
  pack_cells(out, room, written);
  return out;
}

}  // namespace quorlin
