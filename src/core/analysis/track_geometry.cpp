// The shape of each track's path, one dimension-templated pass per track.
#include "analysis/track_geometry.h"

#include <array>
#include <cmath>
#include <cstddef>

#include "common/errors.h"
#include "common/parallel.h"

namespace quorlin {
namespace {

template <std::size_t D>
using Step = std::array<double, D>;

template <std::size_t D>
double length(const Step<D>& s) {
  double sum = 0;
  for (const double v : s) sum += v * v;
  return std::sqrt(sum);
}

/// The unsigned angle between two steps, from the norm of their cross product and their dot
/// product: accurate near 0 and pi, where an arc cosine of the normalised dot product is not.
template <std::size_t D>
double turning_angle(const Step<D>& a, const Step<D>& b) {
  double dot = 0;
  for (std::size_t k = 0; k < D; ++k) dot += a[k] * b[k];
  if constexpr (D == 2) {
    return std::atan2(std::fabs(a[0] * b[1] - a[1] * b[0]), dot);
  } else {
    const Step<3> cross{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                        a[0] * b[1] - a[1] * b[0]};
    return std::atan2(length<3>(cross), dot);
  }
}

template <std::size_t D>
void measure(View2<double> positions, View1<std::int64_t> track_starts, TrackGeometry& out) {
  const std::size_t tracks = out.path.size();
  auto at = [&](std::size_t row) {
    Step<D> p;
    for (std::size_t k = 0; k < D; ++k) p[k] = positions(row, k);
    return p;
  };
  auto step = [&](std::size_t row) {
    Step<D> s;
    for (std::size_t k = 0; k < D; ++k) s[k] = positions(row + 1, k) - positions(row, k);
    return s;
  };
  parallel_for(tracks, [&](std::size_t t) {
    const auto first = static_cast<std::size_t>(track_starts(t));
    const auto end = static_cast<std::size_t>(track_starts(t + 1));
    if (end == first) return;
    Step<D> net = at(end - 1), previous{};
    const Step<D> origin = at(first);
    for (std::size_t k = 0; k < D; ++k) net[k] -= origin[k];
    out.net[t] = length<D>(net);
    double previous_length = 0;
    for (std::size_t row = first; row + 1 < end; ++row) {
      const Step<D> s = step(row);
      const double l = length<D>(s);
      out.path[t] += l;
      if (row > first && l > 0 && previous_length > 0) {
        out.turning[t] += turning_angle<D>(previous, s);
        ++out.turns[t];
      }
      previous = s;
      previous_length = l;
    }
  });
}

}  // namespace

TrackGeometry track_geometry(View2<double> positions, View1<std::int64_t> track_starts) {
  const std::size_t dims = positions.shape[1];
  if (dims != 2 && dims != 3) throw ValueError("positions must have 2 or 3 columns");
  const auto rows = static_cast<std::int64_t>(positions.shape[0]);
  std::int64_t previous = 0;
  for (std::uint64_t t = 0; t < track_starts.shape[0]; ++t) {
    if (track_starts(t) < previous || track_starts(t) > rows)
      throw ValueError("track_starts must be non-decreasing offsets into the positions");
    previous = track_starts(t);
  }
  TrackGeometry out;
  const std::size_t tracks = track_starts.shape[0] == 0 ? 0 : track_starts.shape[0] - 1;
  out.path.assign(tracks, 0.0);
  out.net.assign(tracks, 0.0);
  out.turning.assign(tracks, 0.0);
  out.turns.assign(tracks, 0);
  if (dims == 2)
    measure<2>(positions, track_starts, out);
  else
    measure<3>(positions, track_starts, out);
  return out;
}

}  // namespace quorlin
