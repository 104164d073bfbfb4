// One (source frame, gap) task of linking: the feasible entries of the frame pair, found through
// the target frame's spatial index, solved exactly component by component into a list of links.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/memory.h"
#include "common/parallel.h"
#include "common/sort.h"
#include "link/components.h"
#include "link/frame_points.h"
#include "link/link_cost.h"
#include "link/points.h"

namespace quorlin {

/// Everything a (frame, gap) task reads; shared and read-only during the proposal phase.
template <std::size_t D, class Gate>
struct LinkContext {
  const PointStore<D>& store;
  const std::vector<FramePoints<D>>& frames;
  DistanceScale scale;
  Gate gate;
};

namespace frame_pair_detail {

/// Sources per task of a frame pair: enough to amortise a task, few enough for the workers to
/// share a pair of a thousand points. The chunking is fixed, so no result depends on scheduling.
inline constexpr std::size_t kSourcesPerTask = 512;

/// Components per task: most components are tiny, so a task takes many.
inline constexpr std::size_t kComponentsPerTask = 256;

/// Working memory a feasible entry may need at most: its target in the candidate lists (4 bytes)
/// and its share of its component's solver (32: the dense matrix, used only where entries fill
/// at least a quarter of it; a sparse entry takes 16).
inline constexpr std::uint64_t kWorstBytesPerEntry = 4 + 32;

/// Frame pairs whose worst case stays below this are not checked against the memory available.
inline constexpr std::uint64_t kUncheckedPairBytes = std::uint64_t{64} << 20;

/// Calls sink(e) for each feasible target of a source, e being its position among the target
/// frame's entries: within the distance gate, costing no more than S (a dearer link never beats
/// staying unlinked), passing the intensity gate, and in a neighbouring cell. Targets come in no
/// particular order.
template <std::size_t D, class Gate, class Sink>
void for_each_feasible(const LinkContext<D, Gate>& ctx,
                       const typename FramePoints<D>::Entry& source,
                       const FramePoints<D>& targets, Sink&& sink) {
  targets.visit_near(source.at.position, [&](std::uint32_t e) {
    const auto& target = targets.entries[e];
    const float d2 = squared_distance<D>(source.at.position, target.at.position);
    if (!(d2 <= ctx.scale.max_linked_squared)) return;
    if (!ctx.gate(source.at.intensity, target.at.intensity)) return;
    for (std::size_t a = 0; a < D; ++a)
      if (target.neighbourhood[a] - source.neighbourhood[a] + 1 > 2) return;
    sink(e);
  });
}

/// Raises MemoryError up front when the feasible entries of frames a and b could need more
/// memory than is available: first by the product of the frame sizes, then by the points in the
/// index cells adjacent to the sources, and only if both bounds are too large by counting the
/// feasible entries (stopping as soon as the count is too large).
template <std::size_t D, class Gate>
void check_pair_memory(const LinkContext<D, Gate>& ctx, std::size_t a, std::size_t b,
                       const std::string& frame_pair) {
  const FramePoints<D>& sources = ctx.frames[a];
  const FramePoints<D>& targets = ctx.frames[b];
  const std::uint64_t m = sources.entries.size(), g = targets.entries.size();
  auto too_large = [](unsigned __int128 entries, std::uint64_t limit) {
    return entries * kWorstBytesPerEntry > limit;
  };
  if (!too_large(static_cast<unsigned __int128>(m) * g, kUncheckedPairBytes)) return;
  const std::uint64_t available = available_memory();
  if (!too_large(static_cast<unsigned __int128>(m) * g, available)) return;
  const std::size_t tasks = (m + kSourcesPerTask - 1) / kSourcesPerTask;
  std::vector<std::uint64_t> in_boxes(tasks, 0);
  parallel_for(tasks, [&](std::size_t task) {
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k)
      in_boxes[task] += targets.count_near(sources.in_order(k).at.position);
  });
  unsigned __int128 bound = 0;
  for (const std::uint64_t n : in_boxes) bound += n;
  if (!too_large(bound, available)) return;
  const std::uint64_t limit = available / kWorstBytesPerEntry;
  std::atomic<std::uint64_t> counted{0};
  parallel_for(tasks, [&](std::size_t task) {
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end && counted.load() <= limit; ++k) {
      std::uint64_t n = 0;
      for_each_feasible(ctx, sources.in_order(k), targets, [&](std::uint32_t) { ++n; });
      counted += n;
    }
  });
  if (counted.load() > limit)
    throw MemoryError("not enough memory to link " + frame_pair + ": more than " +
                      std::to_string(limit) + " feasible point pairs need more working memory " +
                      "than the " + std::to_string(available) + " bytes available");
}

}  // namespace frame_pair_detail

/// The links of source frame a to frame a + s: an optimal assignment of the pair, solved
/// component by component. Pairs come in ascending source order.
template <std::size_t D, class Gate>
std::vector<LinkPair> link_frame_pair(const LinkContext<D, Gate>& ctx, std::size_t a,
                                      std::size_t s) {
  using namespace frame_pair_detail;
  const std::size_t b = a + s;
  const std::uint64_t sources_first = ctx.store.frame_begin[a];
  const std::uint64_t targets_first = ctx.store.frame_begin[b];
  const std::uint64_t f = ctx.store.frame_begin[a + 1] - sources_first;
  const std::uint64_t g = ctx.store.frame_begin[b + 1] - targets_first;
  std::vector<LinkPair> pairs;
  if (f == 0 || g == 0) return pairs;
  const std::string frame_pair = "frame " + std::to_string(a) + " to frame " + std::to_string(b);
  if (g >= kNoTarget)
    throw MemoryError("not enough memory to link " + frame_pair + ": frame " + std::to_string(b) +
                      " holds 2^32 - 1 points or more");
  check_pair_memory(ctx, a, b, frame_pair);

  // Sources are taken in their frame's fixed order (by cells, so successive searches touch
  // neighbouring parts of the target frame), and each one's targets listed in the target frame's
  // order: these orders decide among equally cheap assignments. Sources with a non-finite
  // coordinate are not among the entries: they never link.
  const FramePoints<D>& source_frame = ctx.frames[a];
  const FramePoints<D>& target_frame = ctx.frames[b];
  const std::uint64_t m = source_frame.entries.size();
  CandidateRows rows;
  rows.sources_per_part = kSourcesPerTask;
  rows.parts.resize((m + kSourcesPerTask - 1) / kSourcesPerTask);
  rows.row_end.assign(m, 0);
  parallel_for(rows.parts.size(), [&](std::size_t task) {
    auto& part = rows.parts[task];
    // A source's targets as (place in the target frame's fixed order, row) pairs, sorted by place.
    std::vector<std::uint64_t> found;
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k) {
      found.clear();
      for_each_feasible(ctx, source_frame.in_order(k), target_frame, [&](std::uint32_t e) {
        const auto& target = target_frame.entries[e];
        found.push_back(std::uint64_t{target.place} << 32 | (target.point - targets_first));
      });
      stable_sort_short(std::span<std::uint64_t>(found));
      for (const std::uint64_t f : found) part.push_back(static_cast<std::uint32_t>(f));
      rows.row_end[k] = part.size();
    }
  });
  const PointND<D>* targets = ctx.store.points.data() + targets_first;
  auto cost = [&](std::uint64_t k, std::uint32_t t) {
    const auto& source = source_frame.in_order(k).at.position;
    return link_cost(squared_distance<D>(source, targets[t].position));
  };

  // A source whose targets no other source reaches is a component of its own (the usual case)
  // and takes its cheapest target (the lowest row among equals): every feasible entry costs no
  // more than staying unlinked. The others are shared.
  std::vector<std::uint8_t> reached_by(g, 0);
  for (const auto& part : rows.parts)
    for (const std::uint32_t t : part) reached_by[t] = reached_by[t] == 0 ? 1 : 2;
  std::vector<std::uint32_t> chosen(m, kNoTarget);
  const std::vector<std::uint64_t> shared = parallel_gather<std::uint64_t>(
      rows.parts.size(),
      [&](std::size_t task, std::vector<std::uint64_t>& out) {
        const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
        for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k) {
          const auto row = rows.row(k);
          if (std::any_of(row.begin(), row.end(), [&](std::uint32_t t) { return reached_by[t] > 1; })) {
            out.push_back(k);
            continue;
          }
          std::int64_t best_cost = 0;
          for (const std::uint32_t t : row) {
            const std::int64_t c = cost(k, t);
            if (chosen[k] == kNoTarget || c < best_cost || (c == best_cost && t < chosen[k])) {
              chosen[k] = t;
              best_cost = c;
            }
          }
        }
      },
      1);
  std::vector<std::uint8_t>().swap(reached_by);
  if (!shared.empty()) {
    const Components parts = split_components(rows, shared, g);
    // Components are independent: the total cost separates over them because every source's
    // no-link price is its own. Each task writes only its own sources' choices.
    const std::uint64_t count = parts.count();
    parallel_for((count + kComponentsPerTask - 1) / kComponentsPerTask, [&](std::size_t task) {
      ComponentSolver solver;
      const std::uint64_t end = std::min<std::uint64_t>(count, (task + 1) * kComponentsPerTask);
      for (std::uint64_t c = task * kComponentsPerTask; c < end; ++c)
        solver.solve(parts, c, rows, ctx.scale.no_link_cost, cost, frame_pair, chosen);
    });
  }

  std::vector<std::uint32_t> target_of_row(f, kNoTarget);
  for (std::uint64_t k = 0; k < m; ++k)
    target_of_row[source_frame.in_order(k).point - sources_first] = chosen[k];
  for (std::uint64_t r = 0; r < f; ++r)
    if (target_of_row[r] != kNoTarget)
      pairs.emplace_back(sources_first + r, targets_first + target_of_row[r]);
  return pairs;
}

}  // namespace quorlin
