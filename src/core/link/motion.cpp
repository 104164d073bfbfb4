// Linking under a motion model: the frame loop, the predictions of the open tracks, the costs of
// their candidates, and what each link teaches a track (or the field) about its motion.
#include "link/motion.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/parallel.h"
#include "common/sort.h"
#include "link/components.h"
#include "link/frame_pair.h"
#include "link/frame_points.h"
#include "link/link_cost.h"

namespace quorlin {

namespace {

/// Weight of a track's earlier step pairs in its persistence, per link: a particle that turns
/// from diffusing to directed motion (a vesicle taken up by a motor) is predicted by its new
/// motion within about ten links.
constexpr double kPersistenceMemory = 0.9;

/// A track's first step counts as this many pairs of equal steps in its persistence: constant
/// velocity (w = 1) until the track's own steps say otherwise.
constexpr double kPersistencePrior = 1.0;

/// Share of the distance to the target in the cost of a track's first link; the rest is how far
/// its straight continuation misses the next frames' points. Equal shares: on dense movies of
/// directed motion the continuation halves the wrong first links, while a particle seen in two
/// frames only still links at no more than the no-link cost.
constexpr double kFirstStepShare = 0.5;

/// Working memory a candidate may need at most: its target and cost in the candidate lists (12
/// bytes) and its share of its component's solver (32, as in frame pairs).
constexpr std::uint64_t kBytesPerCandidate = 4 + 8 + 32;

/// A track still open: its last point and what its links taught of its motion.
template <std::size_t D>
struct OpenTrack {
  std::uint64_t point = 0;       ///< its last point (global index)
  std::int64_t frame = 0;        ///< that point's frame number
  std::array<double, D> step{};  ///< its last step, per frame
  double along = 0;              ///< weighted sum of step . previous step
  double across = 0;             ///< weighted sum of |previous step|^2
  bool moving = false;           ///< whether it has a step (a link) yet
};

/// Where a source is looked for in the current frame.
template <std::size_t D>
struct Prediction {
  std::array<float, D> at{};
  bool settled = false;  ///< predicted from a velocity (gate max_distance), else at its last point
};

/// Frames from frame number `from` to `to` (> from), exactly, whatever their magnitudes.
inline std::uint64_t frames_between(std::int64_t from, std::int64_t to) {
  return static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from);
}

template <std::size_t D, class Gate>
class MotionLinker {
 public:
  MotionLinker(const PointStore<D>& store, const MotionSettings& settings, const Gate& gate,
               const StopRequested& stopped)
      : store_(store),
        stopped_(stopped),
        numbers_(store.frame_number),
        settings_(settings),
        gate_(gate),
        scale_(distance_scale(settings.max_distance)),
        initial_squared_(distance_scale(settings.initial_distance, "initial_distance")
                             .max_distance_squared) {
    for (std::size_t k = 0; k < numbers_.size(); ++k) {
      // Rows are 32-bit in the candidate lists, and such a frame is filed without its cells.
      if (store.frame_begin[k + 1] - store.frame_begin[k] >= kNoTarget)
        throw MemoryError("not enough memory to link frame " + std::to_string(numbers_[k]) +
                          ": it holds 2^32 - 1 points or more");
    }
    // One index per frame, wide enough for both gates.
    const DistanceScale reach =
        distance_scale(std::max(settings.max_distance, settings.initial_distance));
    frames_.resize(store.frames());
    parallel_for(frames_.size(), [&](std::size_t k) { frames_[k] = file_frame(store, reach, k); });
  }

  LinkTable run() {
    LinkTable links(store_.points.size());
    std::vector<OpenTrack<D>> open, next;
    for (std::size_t b = 0; b < frames_.size(); ++b) {
      if (stopped_ && stopped_()) break;
      std::erase_if(open, [&](const OpenTrack<D>& t) {
        return frames_between(t.frame, numbers_[b]) - 1 > settings_.max_skip;
      });
      const std::uint64_t first = store_.frame_begin[b];
      const std::uint64_t g = store_.frame_begin[b + 1] - first;
      if (g == 0) continue;
      std::vector<std::uint32_t> chosen(open.size(), kNoTarget);
      std::vector<std::uint8_t> confident;
      if (!open.empty()) chosen = assign(open, b, confident);

      std::vector<std::uint64_t> source_of_row(g, LinkTable::kNone);
      for (std::size_t k = 0; k < open.size(); ++k) {
        if (chosen[k] == kNoTarget) continue;
        source_of_row[chosen[k]] = k;
        links.successor[open[k].point] = first + chosen[k];
        links.predecessor[first + chosen[k]] = open[k].point;
      }
      if (settings_.model == MotionModel::drift) learn_drift(open, chosen, confident, b);
      next.clear();
      for (std::size_t k = 0; k < open.size(); ++k)
        if (chosen[k] == kNoTarget) next.push_back(open[k]);
      // The frame's points in its fixed order (by cells), so that the next frame's searches
      // touch neighbouring memory; points with a non-finite coordinate are not filed and, never
      // linking, start no track.
      const FramePoints<D>& here = frames_[b];
      for (std::size_t k = 0; k < here.entries.size(); ++k) {
        const std::uint64_t point = here.in_order(k).point;
        if (source_of_row[point - first] == LinkTable::kNone) {
          next.push_back(OpenTrack<D>{.point = point, .frame = numbers_[b]});
        } else {
          next.push_back(open[source_of_row[point - first]]);
          extend(next.back(), point, numbers_[b]);
        }
      }
      open.swap(next);
    }
    return links;
  }

 private:
  /// The track's persistence: how much of its last step it is expected to repeat.
  static double persistence(const OpenTrack<D>& t) {
    return t.across > 0 ? std::clamp(t.along / t.across, 0.0, 1.0) : 1.0;
  }

  Prediction<D> predict(const OpenTrack<D>& t, std::int64_t frame) const {
    Prediction<D> p;
    p.at = store_.points[t.point].position;
    std::array<double, D> velocity = drift_;
    p.settled = settings_.model == MotionModel::velocity ? t.moving : drift_known_;
    if (!p.settled) return p;
    if (settings_.model == MotionModel::velocity)
      for (std::size_t a = 0; a < D; ++a) velocity[a] = persistence(t) * t.step[a];
    const auto gap = static_cast<double>(frames_between(t.frame, frame));
    for (std::size_t a = 0; a < D; ++a)
      p.at[a] = static_cast<float>(static_cast<double>(p.at[a]) + velocity[a] * gap);
    return p;
  }

  /// What the link of track t to `point` (frame number `frame`) teaches it: its new step and its
  /// persistence; then the point is its last.
  void extend(OpenTrack<D>& t, std::uint64_t point, std::int64_t frame) const {
    const auto& from = store_.points[t.point].position;
    const auto& to = store_.points[point].position;
    const auto gap = static_cast<double>(frames_between(t.frame, frame));
    std::array<double, D> step;
    double along = 0, across = 0, square = 0;
    for (std::size_t a = 0; a < D; ++a) {
      step[a] = (static_cast<double>(to[a]) - from[a]) / gap;
      along += step[a] * t.step[a];
      across += t.step[a] * t.step[a];
      square += step[a] * step[a];
    }
    if (t.moving) {
      t.along = kPersistenceMemory * t.along + along;
      t.across = kPersistenceMemory * t.across + across;
    } else {
      t.along = t.across = kPersistencePrior * square;
    }
    t.step = step;
    t.moving = true;
    t.point = point;
    t.frame = frame;
  }

  /// Calls sink(entry, d2) for every point of stored frame b within the gate of prediction p
  /// that passes the intensity gate with the source's intensity.
  template <class Sink>
  void for_each_candidate(const Prediction<D>& p, float intensity, std::size_t b,
                          Sink&& sink) const {
    const FramePoints<D>& targets = frames_[b];
    const float gate_squared = p.settled ? scale_.max_distance_squared : initial_squared_;
    targets.visit_near(p.at, [&](std::uint32_t e) {
      const auto& target = targets.entries[e];
      const float d2 = squared_distance<D>(p.at, target.at.position);
      if (d2 <= gate_squared && gate_(intensity, target.at.intensity)) sink(target, d2);
    });
  }

  /// Cost of the first link of a track at x (frame number `from`) to a point q of stored frame b
  /// at squared distance d2; see link_table_moving.
  std::int64_t first_link_cost(const PointND<D>& x, std::int64_t from, const PointND<D>& q,
                               std::size_t b, float d2) const {
    const auto gap = static_cast<double>(frames_between(from, numbers_[b]));
    float nearest = scale_.max_distance_squared;
    for (std::size_t c = b + 1;
         c < frames_.size() && frames_between(numbers_[b], numbers_[c]) - 1 <= settings_.max_skip;
         ++c) {
      const auto ahead = static_cast<double>(frames_between(numbers_[b], numbers_[c]));
      std::array<float, D> onward;
      for (std::size_t a = 0; a < D; ++a) {
        const double to = q.position[a];
        onward[a] = static_cast<float>(to + (to - x.position[a]) / gap * ahead);
      }
      const FramePoints<D>& later = frames_[c];
      later.visit_near(onward, [&](std::uint32_t e) {
        const auto& next = later.entries[e].at;
        const float r2 = squared_distance<D>(onward, next.position);
        if (r2 < nearest && gate_(q.intensity, next.intensity)) nearest = r2;
      });
    }
    const double share =
        kFirstStepShare * std::sqrt(static_cast<double>(d2)) / settings_.initial_distance +
        (1.0 - kFirstStepShare) * std::sqrt(static_cast<double>(nearest)) / settings_.max_distance;
    return std::min(scale_.no_link_cost,
                    static_cast<std::int64_t>(static_cast<double>(scale_.no_link_cost) * share));
  }

  /// The exact assignment of the open tracks to the points of stored frame b: each track's
  /// chosen row (kNoTarget: none). In drift mode, confident[k] tells whether track k had one
  /// candidate that no other track reached.
  std::vector<std::uint32_t> assign(const std::vector<OpenTrack<D>>& open, std::size_t b,
                                    std::vector<std::uint8_t>& confident) const {
    using frame_pair_detail::kSourcesPerTask;
    const std::uint64_t m = open.size();
    const std::uint64_t first = store_.frame_begin[b];
    const std::uint64_t g = store_.frame_begin[b + 1] - first;
    const std::string frame = "frame " + std::to_string(numbers_[b]);
    std::vector<Prediction<D>> predictions(m);
    parallel_for(m, [&](std::size_t k) { predictions[k] = predict(open[k], numbers_[b]); });
    auto intensity = [&](std::uint64_t k) { return store_.points[open[k].point].intensity; };
    frame_pair_detail::check_candidate_memory(
        m, frames_[b], kBytesPerCandidate, [&](std::uint64_t k) { return predictions[k].at; },
        [&](std::uint64_t k) {
          std::uint64_t n = 0;
          for_each_candidate(predictions[k], intensity(k), b, [&](const auto&, float) { ++n; });
          return n;
        },
        frame);

    const Candidates found = candidates(open, predictions, b);
    const CandidateRows& rows = found.rows;
    const auto& costs = found.costs;
    auto cost = [&](std::uint64_t k, std::uint32_t t) {
      const auto row = rows.row(k);
      const auto at = std::lower_bound(row.begin(), row.end(), t) - row.begin();
      const std::uint64_t begin = k % kSourcesPerTask == 0 ? 0 : rows.row_end[k - 1];
      return costs[k / kSourcesPerTask][begin + at];
    };
    if (settings_.model == MotionModel::drift) {
      std::vector<std::uint8_t> reached_by(g, 0);
      for (const auto& part : rows.parts)
        for (const std::uint32_t t : part) reached_by[t] = reached_by[t] == 0 ? 1 : 2;
      confident.assign(m, 0);
      for (std::uint64_t k = 0; k < m; ++k)
        confident[k] = rows.row(k).size() == 1 && reached_by[rows.row(k)[0]] == 1;
    }
    return choose_targets(rows, m, g, scale_.no_link_cost, cost, frame);
  }

  /// Each open track's candidates in stored frame b, as rows of the frame (from its first point)
  /// sorted by row, and each one's cost at the same place of `costs`.
  struct Candidates {
    CandidateRows rows;
    std::vector<std::vector<std::int64_t>> costs;
  };

  Candidates candidates(const std::vector<OpenTrack<D>>& open, const std::vector<Prediction<D>>& predictions,
                        std::size_t b) const {
    using frame_pair_detail::kSourcesPerTask;
    const std::uint64_t m = open.size();
    const std::uint64_t first = store_.frame_begin[b];
    Candidates out;
    CandidateRows& rows = out.rows;
    rows.sources_per_part = kSourcesPerTask;
    rows.parts.resize((m + kSourcesPerTask - 1) / kSourcesPerTask);
    rows.row_end.assign(m, 0);
    out.costs.resize(rows.parts.size());
    parallel_for(rows.parts.size(), [&](std::size_t task) {
      std::vector<std::pair<std::uint32_t, std::int64_t>> found;
      const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
      for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k) {
        found.clear();
        const Prediction<D>& p = predictions[k];
        const PointND<D>& from = store_.points[open[k].point];
        for_each_candidate(p, from.intensity, b, [&](const auto& target, float d2) {
          const std::int64_t cost =
              p.settled ? link_cost(d2) : first_link_cost(from, open[k].frame, target.at, b, d2);
          if (cost <= scale_.no_link_cost)
            found.emplace_back(static_cast<std::uint32_t>(target.point - first), cost);
        });
        stable_sort_short(std::span(found));
        for (const auto& [row, cost] : found) {
          rows.parts[task].push_back(row);
          out.costs[task].push_back(cost);
        }
        rows.row_end[k] = rows.parts[task].size();
      }
    });
    return out;
  }

  /// The field's velocity after the links into stored frame b (drift mode).
  void learn_drift(const std::vector<OpenTrack<D>>& open, const std::vector<std::uint32_t>& chosen,
                   const std::vector<std::uint8_t>& confident, std::size_t b) {
    bool any_confident = false;
    for (std::size_t k = 0; k < open.size(); ++k)
      any_confident |= chosen[k] != kNoTarget && confident[k] != 0;
    std::array<std::vector<double>, D> steps;
    for (std::size_t k = 0; k < open.size(); ++k) {
      if (chosen[k] == kNoTarget || (any_confident && !confident[k])) continue;
      const auto& from = store_.points[open[k].point].position;
      const auto& to = store_.points[store_.frame_begin[b] + chosen[k]].position;
      const auto gap = static_cast<double>(frames_between(open[k].frame, numbers_[b]));
      for (std::size_t a = 0; a < D; ++a)
        steps[a].push_back((static_cast<double>(to[a]) - from[a]) / gap);
    }
    if (steps[0].empty()) return;
    for (std::size_t a = 0; a < D; ++a) {
      const auto median = steps[a].begin() + (steps[a].size() - 1) / 2;
      std::nth_element(steps[a].begin(), median, steps[a].end());
      drift_[a] = *median;
    }
    drift_known_ = true;
  }

  const PointStore<D>& store_;
  const StopRequested& stopped_;
  std::span<const std::int64_t> numbers_;
  MotionSettings settings_;
  Gate gate_;
  DistanceScale scale_;
  float initial_squared_;
  std::vector<FramePoints<D>> frames_;
  std::array<double, D> drift_{};
  bool drift_known_ = false;
};

}  // namespace

MotionModel motion_model(std::string_view name) {
  if (name == "velocity") return MotionModel::velocity;
  if (name == "drift") return MotionModel::drift;
  throw ValueError("motion must be 'position', 'velocity' or 'drift', got '" + std::string(name) +
                   "'");
}

template <std::size_t D, class Gate>
LinkTable link_table_moving(const PointStore<D>& store, const MotionSettings& settings,
                            const Gate& gate, const StopRequested& stopped) {
  return MotionLinker<D, Gate>(store, settings, gate, stopped).run();
}

template LinkTable link_table_moving<2, AnyIntensity>(const PointStore<2>&, const MotionSettings&,
                                                      const AnyIntensity&, const StopRequested&);
template LinkTable link_table_moving<2, SameSignRatioGate>(const PointStore<2>&,
                                                           const MotionSettings&,
                                                           const SameSignRatioGate&, const StopRequested&);
template LinkTable link_table_moving<3, AnyIntensity>(const PointStore<3>&, const MotionSettings&,
                                                      const AnyIntensity&, const StopRequested&);

}  // namespace quorlin
