// The feasible entries of one assignment (the sources of a frame pair, or a frame's open tracks,
// against a frame's points) split into connected components (sources joined through the targets
// they share), and the exact solvers of a component: by enumeration for two sources, on a dense
// matrix where the entries fill most of it, and on the sparse entries otherwise.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/parallel.h"
#include "link/assignment.h"
#include "link/dense_assignment.h"
#include "link/link_cost.h"

namespace quorlin {

/// Marks a source without a chosen target (and a target row that does not fit 32 bits).
inline constexpr std::uint32_t kNoTarget = 0xFFFFFFFFu;

/// The feasible targets (rows of the target frame) of the sources of one frame pair, grouped by
/// source: source k's are at row(k). Sources come in fixed parts of `sources_per_part`, each part
/// filled by its own task, so no list of the whole frame pair is ever copied.
struct CandidateRows {
  std::size_t sources_per_part = 1;
  std::vector<std::vector<std::uint32_t>> parts;
  std::vector<std::uint64_t> row_end;  ///< end of source k's targets within its part

  std::span<const std::uint32_t> row(std::uint64_t k) const {
    const auto& part = parts[k / sources_per_part];
    const std::uint64_t begin = k % sources_per_part == 0 ? 0 : row_end[k - 1];
    return {part.data() + begin, part.data() + row_end[k]};
  }
};

/// The sources that share targets, grouped into connected components: component c holds the
/// sources sources[source_begin[c] .. source_begin[c + 1]) (ascending) and the targets
/// targets[target_begin[c] .. target_begin[c + 1]) (in order of first appearance); column_of[t]
/// is target t's position within its component.
struct Components {
  std::vector<std::uint64_t> sources, source_begin;
  std::vector<std::uint32_t> targets;
  std::vector<std::uint64_t> target_begin;
  std::vector<std::uint32_t> column_of;
  std::uint64_t count() const { return source_begin.size() - 1; }
};

/// Splits the shared sources (ascending) into components; g is the size of the target frame.
Components split_components(const CandidateRows& rows, std::span<const std::uint64_t> shared,
                            std::uint64_t g);

/// The integer problem a component is solved on. The rule among assignments of equal total cost
/// is folded into the costs: a link of cost c costs c * scale and staying unlinked S * scale + 1,
/// with scale above the number of sources, so the extra units (one per unlinked source) never
/// outweigh one unit of real cost and, among equally cheap assignments, one with more links wins.
/// Where S * scale + 1 would leave the solvers' exact range (max_distance vast against the
/// component), scale is 1 and no_link S: the totals stay exact and links still win where the
/// solver meets the tie.
struct FoldedCosts {
  std::int64_t scale;
  std::int64_t no_link;
};
FoldedCosts fold_tie_rule(std::uint64_t sources, std::int64_t no_link_cost);

/// Whether a component of this shape is solved on a dense matrix.
bool solve_dense(std::uint64_t sources, std::uint64_t targets, std::uint64_t entries,
                 const FoldedCosts& costs);

/// Working memory of a component's solver, in bytes.
std::uint64_t component_bytes(std::uint64_t sources, std::uint64_t targets, std::uint64_t entries,
                              bool dense);

/// Raises MemoryError, naming the frame pair and the component, when a component needs more than
/// the memory available (looked up only for components above a small size).
void check_component_memory(std::uint64_t bytes, std::uint64_t sources, std::uint64_t targets,
                            const std::string& frame_pair);

/// Two sources sharing targets: every choice (each source takes nothing or one of its targets,
/// never the same one) is tried in a fixed order; the smallest total cost wins, and among equal
/// totals the one with more links (then the first found). Cheaper than the general solvers for
/// the most common shared component. cost(k, t) is the cost of source k taking target t.
template <class Cost>
void solve_pair(std::uint64_t s0, std::uint64_t s1, const CandidateRows& rows,
                std::int64_t no_link_cost, const Cost& cost, std::vector<std::uint32_t>& chosen) {
  std::int64_t best_total = 2 * no_link_cost;
  int best_links = 0;
  std::uint32_t best0 = kNoTarget, best1 = kNoTarget;
  auto consider = [&](std::int64_t total, int links, std::uint32_t t0, std::uint32_t t1) {
    if (total < best_total || (total == best_total && links > best_links)) {
      best_total = total;
      best_links = links;
      best0 = t0;
      best1 = t1;
    }
  };
  const auto row0 = rows.row(s0), row1 = rows.row(s1);
  for (const std::uint32_t t : row0) consider(cost(s0, t) + no_link_cost, 1, t, kNoTarget);
  for (const std::uint32_t t : row1) consider(no_link_cost + cost(s1, t), 1, kNoTarget, t);
  for (const std::uint32_t t0 : row0)
    for (const std::uint32_t t1 : row1)
      if (t0 != t1) consider(cost(s0, t0) + cost(s1, t1), 2, t0, t1);
  chosen[s0] = best0;
  chosen[s1] = best1;
}

/// Sparse entries a component solver keeps allocated for the next component; a larger buffer is
/// released, so one big component does not hold its memory while a task solves small ones.
inline constexpr std::size_t kKeptEntries = std::size_t{1} << 16;

/// Rows of a dense matrix filled per task: a few hundred kilobytes of matrix per task.
inline constexpr std::size_t kDenseFillRows = 64;

/// Components per task: most components are tiny, so a task takes many.
inline constexpr std::size_t kComponentsPerTask = 256;

/// Solves components of at least two sources; one solver per task, keeping its buffers.
class ComponentSolver {
 public:
  /// Which solver takes a component: chosen by its shape, or forced (by tests, to compare them).
  enum class Choice { by_shape, dense, sparse };
  Choice choice = Choice::by_shape;

  /// Writes the chosen target of each source of component c into chosen (kNoTarget for none).
  template <class Cost>
  void solve(const Components& parts, std::uint64_t c, const CandidateRows& rows,
             std::int64_t no_link_cost, const Cost& cost, const std::string& frame_pair,
             std::vector<std::uint32_t>& chosen);

 private:
  /// The component's sources and its targets (as the component's columns: parts.column_of).
  struct Part {
    const Components& parts;
    std::span<const std::uint64_t> sources;
    std::span<const std::uint32_t> targets;
  };
  template <class Cost>
  void solve_by_matrix(const Part& part, const CandidateRows& rows, std::uint64_t entries, const FoldedCosts& folded,
                   const Cost& cost, std::vector<std::uint32_t>& chosen);
  template <class Cost>
  void solve_by_entries(const Part& part, const CandidateRows& rows, const FoldedCosts& folded, const Cost& cost,
                    std::vector<std::uint32_t>& chosen);

  AssignmentSolver sparse_;
  DenseAssignment dense_;
  std::vector<std::size_t> row_begin_;
  std::vector<AssignmentEntry> entries_;
  std::vector<std::int64_t> no_link_;
};

template <class Cost>
void ComponentSolver::solve(const Components& parts, std::uint64_t c, const CandidateRows& rows,
                            std::int64_t no_link_cost, const Cost& cost,
                            const std::string& frame_pair, std::vector<std::uint32_t>& chosen) {
  const std::span<const std::uint64_t> sources(parts.sources.data() + parts.source_begin[c],
                                               parts.source_begin[c + 1] - parts.source_begin[c]);
  const std::span<const std::uint32_t> targets(parts.targets.data() + parts.target_begin[c],
                                               parts.target_begin[c + 1] - parts.target_begin[c]);
  if (sources.size() == 2 && choice == Choice::by_shape)
    return solve_pair(sources[0], sources[1], rows, no_link_cost, cost, chosen);
  std::uint64_t entries = 0;
  for (const std::uint64_t k : sources) entries += rows.row(k).size();
  const FoldedCosts folded = fold_tie_rule(sources.size(), no_link_cost);
  const bool dense = choice == Choice::by_shape
                         ? solve_dense(sources.size(), targets.size(), entries, folded)
                         : choice == Choice::dense && folded.scale > 1;
  check_component_memory(component_bytes(sources.size(), targets.size(), entries, dense),
                         sources.size(), targets.size(), frame_pair);
  if (dense)
    solve_by_matrix(Part{parts, sources, targets}, rows, entries, folded, cost, chosen);
  else
    solve_by_entries(Part{parts, sources, targets}, rows, folded, cost, chosen);
}

/// The square or wide matrix of sources by targets (transposed when the sources are more), an
/// entry that no link fills costing the no-link price: a source placed there stays unlinked.
template <class Cost>
void ComponentSolver::solve_by_matrix(const Part& part, const CandidateRows& rows, std::uint64_t entries,
                                  const FoldedCosts& folded, const Cost& cost, std::vector<std::uint32_t>& chosen) {
  const Components& parts = part.parts;
  const std::span<const std::uint64_t> sources = part.sources;
  const std::span<const std::uint32_t> targets = part.targets;
  const bool by_source = sources.size() <= targets.size();
  const std::size_t height = by_source ? sources.size() : targets.size();
  const std::size_t width = by_source ? targets.size() : sources.size();
  // Filled in parallel blocks of sources: large dense components are the slow case, and the
  // pages of the matrix are first touched by the thread that fills them.
  std::unique_ptr<std::int64_t[]> storage(new std::int64_t[height * width]);
  const std::span<std::int64_t> matrix(storage.get(), height * width);
  if (entries < height * width)  // otherwise every entry is a link
    parallel_for((height + kDenseFillRows - 1) / kDenseFillRows, [&](std::size_t block) {
      const std::size_t end = std::min(height, (block + 1) * kDenseFillRows) * width;
      std::fill(matrix.begin() + block * kDenseFillRows * width, matrix.begin() + end,
                folded.no_link);
    });
  parallel_for((sources.size() + kDenseFillRows - 1) / kDenseFillRows, [&](std::size_t block) {
    const std::size_t end = std::min(sources.size(), (block + 1) * kDenseFillRows);
    for (std::size_t r = block * kDenseFillRows; r < end; ++r)
      for (const std::uint32_t t : rows.row(sources[r])) {
        const std::size_t col = parts.column_of[t];
        matrix[by_source ? r * width + col : col * width + r] = cost(sources[r], t) * folded.scale;
      }
  });
  const auto& pick = dense_.solve(matrix, height, width, folded.no_link);
  for (std::size_t i = 0; i < height; ++i) {
    if (matrix[i * width + pick[i]] >= folded.no_link) continue;
    if (by_source)
      chosen[sources[i]] = targets[pick[i]];
    else
      chosen[sources[pick[i]]] = targets[i];
  }
}

/// The sparse entries of the component's rows, solved by the shortest augmenting paths of
/// AssignmentSolver.
template <class Cost>
void ComponentSolver::solve_by_entries(const Part& part, const CandidateRows& rows, const FoldedCosts& folded,
                                   const Cost& cost, std::vector<std::uint32_t>& chosen) {
  const Components& parts = part.parts;
  const std::span<const std::uint64_t> sources = part.sources;
  const std::span<const std::uint32_t> targets = part.targets;
  row_begin_.assign(1, 0);
  entries_.clear();
  no_link_.assign(sources.size(), folded.no_link);
  for (const std::uint64_t k : sources) {
    for (const std::uint32_t t : rows.row(k))
      entries_.push_back(AssignmentEntry{parts.column_of[t], cost(k, t) * folded.scale});
    row_begin_.push_back(entries_.size());
  }
  const auto& column = sparse_.solve(row_begin_, entries_, targets.size(), no_link_);
  for (std::size_t r = 0; r < sources.size(); ++r)
    if (column[r] != kUnassigned) chosen[sources[r]] = targets[column[r]];
  if (entries_.capacity() > kKeptEntries) std::vector<AssignmentEntry>().swap(entries_);
}

/// The target row each of the m sources of `rows` takes (kNoTarget: none) in an assignment of
/// smallest total cost among g targets, cost(k, t) being the cost of source k taking target t and
/// no_link_cost that of staying unlinked; every feasible entry must cost no more than staying
/// unlinked. A source whose targets no other source reaches is a component of its own (the usual
/// case) and takes its cheapest target (the lowest row among equals); the others are split into
/// components, solved in parallel. Fixed chunks: the result never depends on scheduling.
template <class Cost>
std::vector<std::uint32_t> choose_targets(const CandidateRows& rows, std::uint64_t m,
                                          std::uint64_t g, std::int64_t no_link_cost,
                                          const Cost& cost, const std::string& frame_pair) {
  const std::size_t per_part = rows.sources_per_part;
  std::vector<std::uint8_t> reached_by(g, 0);
  for (const auto& part : rows.parts)
    for (const std::uint32_t t : part) reached_by[t] = reached_by[t] == 0 ? 1 : 2;
  std::vector<std::uint32_t> chosen(m, kNoTarget);
  const std::vector<std::uint64_t> shared = parallel_gather<std::uint64_t>(
      rows.parts.size(),
      [&](std::size_t task, std::vector<std::uint64_t>& out) {
        const std::uint64_t end = std::min<std::uint64_t>(m, (task + 1) * per_part);
        for (std::uint64_t k = task * per_part; k < end; ++k) {
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
  if (shared.empty()) return chosen;
  const Components parts = split_components(rows, shared, g);
  // Components are independent: the total cost separates over them because every source's
  // no-link price is its own. Each task writes only its own sources' choices.
  const std::uint64_t count = parts.count();
  parallel_for((count + kComponentsPerTask - 1) / kComponentsPerTask, [&](std::size_t task) {
    ComponentSolver solver;
    const std::uint64_t end = std::min<std::uint64_t>(count, (task + 1) * kComponentsPerTask);
    for (std::uint64_t c = task * kComponentsPerTask; c < end; ++c)
      solver.solve(parts, c, rows, no_link_cost, cost, frame_pair, chosen);
  });
  return chosen;
}

}  // namespace quorlin
