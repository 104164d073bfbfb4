// Reading the frames into the point store, and assembling the linked points into tracks.
#include "link/points.h"

#include <string>

#include "common/errors.h"

namespace quorlin {

template <std::size_t D>
PointStore<D> read_points(std::span<const View2<float>> frames) {
  PointStore<D> store;
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto& f = frames[k];
    if (f.shape[0] > 0 && f.shape[1] < D + 1) {
      const char* columns = D == 2 ? "x, y, intensity" : "x, y, z, intensity";
      throw ValueError("points_list[" + std::to_string(k) +
                       "]: a frame with points needs at least " + std::to_string(D + 1) +
                       " columns (" + columns + "), got " + std::to_string(f.shape[1]));
    }
    total += f.shape[0];
  }
  store.points.reserve(total);
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const auto& f = frames[k];
    if (f.shape[0] == 0) continue;
    for (std::uint64_t r = 0; r < f.shape[0]; ++r) {
      PointND<D> p{};
      for (std::size_t a = 0; a < D; ++a) p.position[a] = f(r, a);
      p.intensity = f(r, D);
      store.points.push_back(p);
    }
    store.frame_begin.push_back(store.points.size());
    store.frame_number.push_back(static_cast<std::int64_t>(k));
  }
  return store;
}

template <std::size_t D>
Tracks assemble_tracks(const PointStore<D>& store, const LinkTable& links) {
  Tracks tracks;
  tracks.width = D + 1;
  std::uint64_t linked = 0;
  for (std::uint64_t p = 0; p < store.points.size(); ++p)
    linked += links.predecessor[p] != LinkTable::kNone || links.successor[p] != LinkTable::kNone;
  tracks.values.reserve(linked * tracks.width);
  for (std::uint64_t start = 0; start < store.points.size(); ++start) {
    if (links.predecessor[start] != LinkTable::kNone || links.successor[start] == LinkTable::kNone)
      continue;
    std::uint64_t length = 0;
    for (std::uint64_t p = start; p != LinkTable::kNone; p = links.successor[p], ++length) {
      const auto& point = store.points[p];
      tracks.values.insert(tracks.values.end(), point.position.begin(), point.position.end());
      tracks.values.push_back(point.intensity);
    }
    tracks.lengths.push_back(length);
  }
  return tracks;
}

template PointStore<2> read_points<2>(std::span<const View2<float>>);
template PointStore<3> read_points<3>(std::span<const View2<float>>);
template Tracks assemble_tracks<2>(const PointStore<2>&, const LinkTable&);
template Tracks assemble_tracks<3>(const PointStore<3>&, const LinkTable&);

}  // namespace quorlin
