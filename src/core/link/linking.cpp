// Gap scheduling and recording: the frame pairs within reach are solved in parallel, in batches,
// and their links recorded in gap-major, frame-minor order; pairs that cannot give a link that
// would be kept are never solved.
#include "link/linking.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <tuple>
#include <vector>

#include "common/parallel.h"
#include "link/frame_pair.h"
#include "link/frame_points.h"
#include "link/gap_search.h"

namespace quorlin {

namespace {

/// Frame pairs whose proposals are pending at once: this bounds the memory of the proposals when
/// many frames meet a large max_skip, while one batch holds every pair in most calls (up to a
/// quarter million).
constexpr std::size_t kPendingFramePairs = std::size_t{1} << 18;

/// Walking every frame pair within reach costs about a tenth to a third of a microsecond per
/// source point and pair (and per pair); solving only the pairs the points ask for (GapSearch)
/// costs a few microseconds per point. Beyond this many source searches per point, as where one
/// detection per frame meets a max_skip of thousands of frames, the points ask.
constexpr std::uint64_t kSearchesPerPoint = 16;

/// A frame pair to solve: stored source frame, stored target frame.
struct FramePair {
  std::size_t source;
  std::size_t target;
  friend bool operator<(const FramePair& x, const FramePair& y) {
    return std::tie(x.source, x.target) < std::tie(y.source, y.target);
  }
  friend bool operator==(const FramePair&, const FramePair&) = default;
};

/// The links made so far and, per stored frame, its points with a finite position that have no
/// successor yet (free sources) and no predecessor yet (free targets). A pair of frames can give a
/// link that is kept only while its source frame has a free source and its target frame a free
/// target.
struct LinkState {
  LinkTable links;
  std::vector<std::uint64_t> free_sources;
  std::vector<std::uint64_t> free_targets;

  template <std::size_t D>
  explicit LinkState(const PointStore<D>& store) : links(store.points.size()) {
    free_sources.resize(store.frames());
    parallel_for(store.frames(), [&](std::size_t k) {
      for (std::uint64_t p = store.frame_begin[k]; p < store.frame_begin[k + 1]; ++p) {
        const auto& pos = store.points[p].position;
        free_sources[k] += std::all_of(pos.begin(), pos.end(), [](float v) { return std::isfinite(v); });
      }
    });
    free_targets = free_sources;
  }
  bool worth_solving(const FramePair& pair) const {
    return free_sources[pair.source] > 0 && free_targets[pair.target] > 0;
  }
};

/// Solves the pairs in parallel and records their links in the pairs' order: a link is kept only
/// if no earlier one has already given its source a successor or its target a predecessor.
/// Proposals read only the points, never the link table, so recording one batch before the next
/// is solved gives exactly the links of solving every pair first. on_link(i, j) hears of every
/// link kept. Pairs not yet started when a stop is requested are skipped.
template <std::size_t D, class Gate, class OnLink>
void solve_and_record(const LinkContext<D, Gate>& ctx, const std::vector<FramePair>& pairs,
                      LinkState& state, const StopRequested& stopped, OnLink&& on_link) {
  std::vector<std::vector<LinkPair>> proposals(pairs.size());
  parallel_for(pairs.size(), [&](std::size_t k) {
    if (stopped && stopped()) return;
    proposals[k] = link_frames(ctx, pairs[k].source, pairs[k].target);
  });
  LinkTable& links = state.links;
  for (std::size_t k = 0; k < pairs.size(); ++k)
    for (const auto& [i, j] : proposals[k])
      if (links.successor[i] == LinkTable::kNone && links.predecessor[j] == LinkTable::kNone) {
        links.successor[i] = j;
        links.predecessor[j] = i;
        --state.free_sources[pairs[k].source];
        --state.free_targets[pairs[k].target];
        on_link(i, j);
      }
}

/// The work of walking every stored frame pair at most `limit` apart: per pair, the points of its
/// source frame and one for the pair itself. Stops counting once it exceeds `enough`.
template <std::size_t D>
std::uint64_t frame_pair_work(const PointStore<D>& store, std::uint64_t limit,
                              std::uint64_t enough) {
  unsigned __int128 total = 0;
  std::size_t b = 0;
  for (std::size_t a = 0; a < store.frames() && total <= enough; ++a) {
    b = std::max(b, a + 1);
    while (b < store.frames() && store.gap(a, b) <= limit) ++b;
    const std::uint64_t points = store.frame_begin[a + 1] - store.frame_begin[a];
    total += static_cast<unsigned __int128>(b - a - 1) * (points + 1);
  }
  return total > enough ? enough + 1 : static_cast<std::uint64_t>(total);
}

/// Walks the frame pairs within reach in gap-major, source-minor order (a cursor per source frame
/// on its next target frame), batch by batch, every frame filed up front.
template <std::size_t D, class Gate>
void link_by_frame_pairs(const PointStore<D>& store, const DistanceScale& scale, const Gate& gate,
                         std::uint64_t limit, LinkState& state, const StopRequested& stopped) {
  const std::size_t n = store.frames();
  std::vector<FramePoints<D>> frames(n);
  parallel_for(n, [&](std::size_t k) {
    if (!(stopped && stopped())) frames[k] = file_frame(store, scale, k);
  });
  const LinkContext<D, Gate> ctx{store, frames, scale, gate};
  using Cursor = std::tuple<std::uint64_t, std::size_t, std::size_t>;  // gap, source, target
  std::priority_queue<Cursor, std::vector<Cursor>, std::greater<>> cursors;
  for (std::size_t a = 0; a + 1 < n; ++a)
    if (store.gap(a, a + 1) <= limit) cursors.emplace(store.gap(a, a + 1), a, a + 1);
  std::vector<FramePair> pairs;
  while (!cursors.empty() && !(stopped && stopped())) {
    pairs.clear();
    while (!cursors.empty() && pairs.size() < kPendingFramePairs) {
      const auto [gap, a, b] = cursors.top();
      cursors.pop();
      if (b + 1 < n && store.gap(a, b + 1) <= limit) cursors.emplace(store.gap(a, b + 1), a, b + 1);
      if (state.worth_solving({a, b})) pairs.push_back({a, b});
    }
    solve_and_record(ctx, pairs, state, stopped, [](std::uint64_t, std::uint64_t) {});
  }
}

/// The frames of link_by_points, each filed in its spatial index only while a pair of it is
/// pending.
template <std::size_t D>
struct FiledFrames {
  std::vector<FramePoints<D>> frames;
  std::vector<std::uint8_t> filed;
  std::vector<std::size_t> to_file;

  explicit FiledFrames(std::size_t count) : frames(count), filed(count, 0) {}

  /// Files the frames of the pairs that are not filed yet, in parallel.
  void file(const PointStore<D>& store, const DistanceScale& scale, const std::vector<FramePair>& pairs) {
    to_file.clear();
    for (const FramePair& pair : pairs)
      for (const std::size_t k : {pair.source, pair.target})
        if (!filed[k]) {
          filed[k] = 1;
          to_file.push_back(k);
        }
    parallel_for(to_file.size(), [&](std::size_t i) { frames[to_file[i]] = file_frame(store, scale, to_file[i]); });
  }

  /// Drops the frames of the pairs that have neither free sources nor free targets left.
  void drop_finished(const std::vector<FramePair>& pairs, const LinkState& state) {
    for (const FramePair& pair : pairs)
      for (const std::size_t k : {pair.source, pair.target})
        if (filed[k] && state.free_sources[k] == 0 && state.free_targets[k] == 0) {
          frames[k] = FramePoints<D>{};
          filed[k] = 0;
        }
  }
};

/// Solves only the frame pairs in which a source without a successor has a feasible target
/// without a predecessor, gap by gap: each such source waits for the shortest gap at which it has
/// one (GapSearch), and a frame is filed only while a pair of it is pending, and dropped once it
/// has neither free sources nor free targets.
template <std::size_t D, class Gate>
void link_by_points(const PointStore<D>& store, const DistanceScale& scale, const Gate& gate,
                    std::uint64_t limit, LinkState& state, const StopRequested& stopped) {
  GapSearch<D, Gate> search(store, scale, gate, limit);
  FiledFrames<D> filed(store.frames());
  const LinkContext<D, Gate> ctx{store, filed.frames, scale, gate};
  // A source's event: the shortest gap at which it has a free feasible target, the source, and
  // that target's frame and slot.
  using Event = std::tuple<std::uint64_t, std::uint64_t, std::size_t, std::uint64_t>;
  std::priority_queue<Event, std::vector<Event>, std::greater<>> events;
  const auto wait = [&](std::uint64_t p, std::uint64_t after) {
    if (const auto found = search.next(p, after))
      events.emplace(found->gap, p, found->frame, found->slot);
  };
  for (std::uint64_t p = 0; p < store.points.size(); ++p)
    if (search.filed(p)) wait(p, 0);

  std::vector<std::uint64_t> sources;
  std::vector<FramePair> pairs;
  const LinkTable& links = state.links;
  while (!events.empty() && !(stopped && stopped())) {
    const std::uint64_t gap = std::get<0>(events.top());
    sources.clear();
    pairs.clear();
    while (!events.empty() && std::get<0>(events.top()) == gap) {
      const auto [at, p, frame, slot] = events.top();
      events.pop();
      if (links.successor[p] != LinkTable::kNone) continue;
      // A target taken since p's event was set may have moved its shortest gap on.
      if (!search.still_free(slot)) {
        wait(p, gap - 1);
        continue;
      }
      sources.push_back(p);
      pairs.push_back({search.frame_of(p), frame});
    }
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    filed.file(store, scale, pairs);
    solve_and_record(ctx, pairs, state, stopped,
                     [&](std::uint64_t, std::uint64_t j) { search.taken(j); });
    filed.drop_finished(pairs, state);
    for (const std::uint64_t p : sources)
      if (links.successor[p] == LinkTable::kNone) wait(p, gap);
  }
}

}  // namespace

template <std::size_t D, class Gate>
LinkTable link_table_with(const PointStore<D>& store, float max_distance, std::uint64_t max_skip,
                          const Gate& gate, const StopRequested& stopped) {
  const DistanceScale scale = distance_scale(max_distance);
  // Gaps run from 1 to max_skip + 1, saturated (no gap between 64-bit frame numbers exceeds it).
  const std::uint64_t limit = max_skip == ~std::uint64_t{0} ? max_skip : max_skip + 1;
  LinkState state(store);
  const std::uint64_t affordable = kSearchesPerPoint * store.points.size();
  if (frame_pair_work(store, limit, affordable) <= affordable)
    link_by_frame_pairs(store, scale, gate, limit, state, stopped);
  else
    link_by_points(store, scale, gate, limit, state, stopped);
  return std::move(state.links);
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
                                                          const IntensityRatioGate&,
                                                          const StopRequested&);
// 2-D points with the user layer's intensity gate, and without any.
template LinkTable link_table_with<2, SameSignRatioGate>(const PointStore<2>&, float,
                                                         std::uint64_t, const SameSignRatioGate&,
                                                         const StopRequested&);
template LinkTable link_table_with<2, AnyIntensity>(const PointStore<2>&, float, std::uint64_t,
                                                    const AnyIntensity&, const StopRequested&);
template LinkTable link_table_with<3, AnyIntensity>(const PointStore<3>&, float, std::uint64_t,
                                                    const AnyIntensity&, const StopRequested&);
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
