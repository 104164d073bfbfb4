// One frame pair's task of linking: the feasible entries of the pair, found through the target
// frame's spatial index, solved exactly component by component into a list of links.
#pragma once

#include <algorithm>
#include <array>
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

/// Everything a frame pair's task reads; shared and read-only during the proposal phase. frames[k]
/// is stored frame k filed (at least while a pair of it is being solved).
template <std::size_t D, class Gate>
struct LinkContext {
  const PointStore<D>& store;
  const std::vector<FramePoints<D>>& frames;
  DistanceScale scale;
  Gate gate;
};

/// Whether a source may link to a target: within the distance gate, costing no more than S (a
/// dearer link never beats staying unlinked), passing the intensity gate, and in a neighbouring
/// cell (each point with its neighbourhood cells).
template <std::size_t D, class Gate>
bool feasible_link(const DistanceScale& scale, const Gate& gate, const PointND<D>& source,
                   const std::array<std::uint64_t, D>& source_cells, const PointND<D>& target,
                   const std::array<std::uint64_t, D>& target_cells) {
  const float d2 = squared_distance<D>(source.position, target.position);
  if (!(d2 <= scale.max_linked_squared)) return false;
  if (!gate(source.intensity, target.intensity)) return false;
  for (std::size_t a = 0; a < D; ++a)
    if (target_cells[a] - source_cells[a] + 1 > 2) return false;
  return true;
}

namespace frame_pair_detail {

/// Sources per task of a frame pair: enough to amortise a task, few enough for the workers to
/// share a pair of a thousand points. The chunking is fixed, so no result depends on scheduling.
inline constexpr std::size_t kSourcesPerTask = 512;

/// Working memory a feasible entry may need at most: its target in the candidate lists (4 bytes)
/// and its share of its component's solver (32: the dense matrix, used only where entries fill
/// at least a quarter of it; a sparse entry takes 16).
inline constexpr std::uint64_t kWorstBytesPerEntry = 4 + 32;

/// Frame pairs whose worst case stays below this are not checked against the memory available.
inline constexpr std::uint64_t kUncheckedPairBytes = std::uint64_t{64} << 20;

/// Calls sink(e) for each feasible target of a source (feasible_link), e being its position among
/// the target frame's entries. Targets come in no particular order.
template <std::size_t D, class Gate, class Sink>
void for_each_feasible(const LinkContext<D, Gate>& ctx,
                       const typename FramePoints<D>::Entry& source,
                       const FramePoints<D>& targets, Sink&& sink) {
  targets.visit_near(source.at.position, [&](std::uint32_t e) {
    const auto& target = targets.entries[e];
    if (feasible_link<D>(ctx.scale, ctx.gate, source.at, source.neighbourhood, target.at,
                         target.neighbourhood))
      sink(e);
  });
}

/// Raises MemoryError up front when the feasible entries of m sources among the points of
/// `targets` could need more than the memory available, at bytes_per_entry each: first by the
/// product of the numbers of sources and targets, then by the points in the index cells adjacent
/// to the sources (source k at position_of(k)), and only if both bounds are too large by counting
/// the feasible entries (count_feasible(k) of source k; stopping as soon as the count is too large).
template <std::size_t D, class PositionOf, class CountFeasible>
void check_candidate_memory(std::uint64_t m, const FramePoints<D>& targets,
                            std::uint64_t bytes_per_entry, const PositionOf& position_of,
                            const CountFeasible& count_feasible, const std::string& frame_pair) {
  const std::uint64_t g = targets.entries.size();
  auto too_large = [&](unsigned __int128 entries, std::uint64_t limit) {
    return entries * bytes_per_entry > limit;
  };
  if (!too_large(static_cast<unsigned __int128>(m) * g, kUncheckedPairBytes)) return;
  const std::uint64_t available = available_memory();
  if (!too_large(static_cast<unsigned __int128>(m) * g, available)) return;
  const std::size_t tasks = (m + kSourcesPerTask - 1) / kSourcesPerTask;
  std::vector<std::uint64_t> in_boxes(tasks, 0);
  parallel_for(tasks, [&](std::size_t task) {
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end; ++k)
      in_boxes[task] += targets.count_near(position_of(k));
  });
  unsigned __int128 bound = 0;
  for (const std::uint64_t n : in_boxes) bound += n;
  if (!too_large(bound, available)) return;
  const std::uint64_t limit = available / bytes_per_entry;
  std::atomic<std::uint64_t> counted{0};
  parallel_for(tasks, [&](std::size_t task) {
    const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * kSourcesPerTask);
    for (std::uint64_t k = task * kSourcesPerTask; k < end && counted.load() <= limit; ++k)
      counted += count_feasible(k);
  });
  if (counted.load() > limit)
    throw MemoryError("not enough memory to link " + frame_pair + ": more than " +
                      std::to_string(limit) + " feasible point pairs need more working memory " +
                      "than the " + std::to_string(available) + " bytes available");
}

/// check_candidate_memory for the sources of frame a against the points of frame b.
template <std::size_t D, class Gate>
void check_pair_memory(const LinkContext<D, Gate>& ctx, std::size_t a, std::size_t b,
                       const std::string& frame_pair) {
  const FramePoints<D>& sources = ctx.frames[a];
  const FramePoints<D>& targets = ctx.frames[b];
  check_candidate_memory(
      sources.entries.size(), targets, kWorstBytesPerEntry,
      [&](std::uint64_t k) { return sources.in_order(k).at.position; },
      [&](std::uint64_t k) {
        std::uint64_t n = 0;
        for_each_feasible(ctx, sources.in_order(k), targets, [&](std::uint32_t) { ++n; });
        return n;
      },
      frame_pair);
}

/// The feasible targets of each source of source_frame among the points of target_frame (rows
/// relative to targets_first): source k of the frame's fixed order in row k, its targets in the
/// target frame's fixed order. Sources in tasks of kSourcesPerTask, in parallel.
template <std::size_t D, class Gate>
CandidateRows candidate_rows(const LinkContext<D, Gate>& ctx, const FramePoints<D>& source_frame,
                             const FramePoints<D>& target_frame, std::uint64_t targets_first) {
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
  return rows;
}

/// The links of the chosen targets (chosen[k]: source k of the frame's fixed order, a row of the
/// target frame or kNoTarget) by global point index, in ascending source order.
template <std::size_t D>
std::vector<LinkPair> pairs_in_source_order(const FramePoints<D>& source_frame,
                                            const std::vector<std::uint32_t>& chosen,
                                            std::uint64_t sources_first, std::uint64_t sources,
                                            std::uint64_t targets_first) {
  std::vector<std::uint32_t> target_of_row(sources, kNoTarget);
  for (std::uint64_t k = 0; k < chosen.size(); ++k)
    target_of_row[source_frame.in_order(k).point - sources_first] = chosen[k];
  std::vector<LinkPair> pairs;
  for (std::uint64_t r = 0; r < sources; ++r)
    if (target_of_row[r] != kNoTarget) pairs.emplace_back(sources_first + r, targets_first + target_of_row[r]);
  return pairs;
}

}  // namespace frame_pair_detail

/// The links of stored frame a to the later stored frame b: an optimal assignment of the pair,
/// solved component by component. Pairs come in ascending source order.
template <std::size_t D, class Gate>
std::vector<LinkPair> link_frames(const LinkContext<D, Gate>& ctx, std::size_t a, std::size_t b) {
  using namespace frame_pair_detail;
  const std::uint64_t sources_first = ctx.store.frame_begin[a];
  const std::uint64_t targets_first = ctx.store.frame_begin[b];
  const std::uint64_t f = ctx.store.frame_begin[a + 1] - sources_first;
  const std::uint64_t g = ctx.store.frame_begin[b + 1] - targets_first;
  if (f == 0 || g == 0) return {};
  const std::string target_name = "frame " + std::to_string(ctx.store.frame_number[b]);
  const std::string frame_pair =
      "frame " + std::to_string(ctx.store.frame_number[a]) + " to " + target_name;
  if (g >= kNoTarget)
    throw MemoryError("not enough memory to link " + frame_pair + ": " + target_name +
                      " holds 2^32 - 1 points or more");
  check_pair_memory(ctx, a, b, frame_pair);

  // Sources are taken in their frame's fixed order (by cells, so successive searches touch
  // neighbouring parts of the target frame), and each one's targets listed in the target frame's
  // order: these orders decide among equally cheap assignments. Sources with a non-finite
  // coordinate are not among the entries: they never link.
  const FramePoints<D>& source_frame = ctx.frames[a];
  const FramePoints<D>& target_frame = ctx.frames[b];
  const std::uint64_t m = source_frame.entries.size();
  const CandidateRows rows = candidate_rows(ctx, source_frame, target_frame, targets_first);
  const PointND<D>* targets = ctx.store.points.data() + targets_first;
  auto cost = [&](std::uint64_t k, std::uint32_t t) {
    const auto& source = source_frame.in_order(k).at.position;
    return link_cost(squared_distance<D>(source, targets[t].position));
  };

  const std::vector<std::uint32_t> chosen =
      choose_targets(rows, m, g, ctx.scale.no_link_cost, cost, frame_pair);
  return pairs_in_source_order(source_frame, chosen, sources_first, f, targets_first);
}

}  // namespace quorlin
