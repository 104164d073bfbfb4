// Gap scheduling and recording: the frame pairs of every gap are solved in parallel, in batches,
// and their links recorded in gap-major, frame-minor order.
#include "link/linking.h"

#include <algorithm>
#include <vector>

#include "common/parallel.h"
#include "link/frame_points.h"
#include "link/frame_pair.h"

namespace quorlin {

namespace {

/// Frame pairs whose proposals are pending at once: a batch of gaps holds about this many, which
/// bounds the memory of the proposals when many frames meet a large max_skip, while a batch holds
/// every gap in most calls (n * gaps up to a quarter million).
constexpr std::size_t kPendingFramePairs = std::size_t{1} << 18;

}  // namespace

template <std::size_t D, class Gate>
LinkTable link_table_with(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                          const Gate& gate) {
  const DistanceScale scale = distance_scale(max_distance);
  const std::size_t n = store.frames();

  std::vector<FramePoints<D>> frames(n);
  parallel_for(n, [&](std::size_t k) { frames[k] = file_frame(store, scale, k); });
  const LinkContext<D, Gate> ctx{store, frames, scale, gate};

  // Gaps run from 1 to max_skip + 1 (no overflow) and stop before reaching past the last frame.
  const std::size_t gaps =
      n < 2 ? 0 : (max_skip >= n - 2 ? n - 1 : static_cast<std::size_t>(max_skip) + 1);
  // Proposals read only the points, never the link table, so recording a batch of gaps before the
  // next batch is computed gives exactly the links of computing every proposal first.
  const std::size_t gaps_per_batch =
      std::max<std::size_t>(1, kPendingFramePairs / std::max<std::size_t>(n, 1));
  LinkTable links(store.points.size());
  for (std::size_t batch_first = 1; batch_first <= gaps; batch_first += gaps_per_batch) {
    const std::size_t batch = std::min(gaps_per_batch, gaps - batch_first + 1);
    // proposals[s - batch_first][a]: gaps (outer) and source frames (inner) in parallel.
    std::vector<std::vector<std::vector<LinkPair>>> proposals(batch);
    parallel_for(batch, [&](std::size_t k) {
      const std::size_t s = batch_first + k;
      proposals[k].resize(n - s);
      parallel_for(n - s, [&](std::size_t a) { proposals[k][a] = link_frame_pair(ctx, a, s); });
    });
    // Recording in gap-major, frame-minor order: a link of a longer gap is kept only if no shorter
    // gap has already given its source a successor or its target a predecessor.
    for (const auto& by_frame : proposals)
      for (const auto& pairs : by_frame)
        for (const auto& [i, j] : pairs)
          if (links.successor[i] == LinkTable::kNone && links.predecessor[j] == LinkTable::kNone) {
            links.successor[i] = j;
            links.predecessor[j] = i;
          }
  }
  return links;
}

template <std::size_t D, class Gate>
TrackArrays link_points_with(std::span<const View2<float>> frames, float max_distance,
                             std::uint64_t max_skip, const Gate& gate) {
  // The distance scale is checked before the points are read, as the caller sees its errors.
  distance_scale(max_distance);
  const PointStore<D> store = read_points<D>(frames);
  return tracks_to_arrays(
      assemble_tracks(store, link_table_with(store, max_distance, max_skip, gate)));
}

template LinkTable link_table_with<2, IntensityRatioGate>(const PointStore<2>&, float, std::uint64_t,
                                                          const IntensityRatioGate&);
// 2-D points without the intensity gate (the user layer's linking without a ratio).
template LinkTable link_table_with<2, AnyIntensity>(const PointStore<2>&, float, std::uint64_t,
                                                    const AnyIntensity&);
template LinkTable link_table_with<3, AnyIntensity>(const PointStore<3>&, float, std::uint64_t,
                                                    const AnyIntensity&);
template TrackArrays link_points_with<2, IntensityRatioGate>(std::span<const View2<float>>, float,
                                                             std::uint64_t,
                                                             const IntensityRatioGate&);
template TrackArrays link_points_with<3, AnyIntensity>(std::span<const View2<float>>, float,
                                                       std::uint64_t, const AnyIntensity&);

TrackArrays link_points(std::span<const View2<float>> frames, float max_distance,
                        std::uint64_t max_skip, float max_intensity_ratio) {
  return link_points_with<2>(frames, max_distance, max_skip,
                             IntensityRatioGate{max_intensity_ratio});
}

}  // namespace quorlin
