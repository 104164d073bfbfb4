// Exact minimum-cost assignment on sparse 64-bit integer costs, where every row may also stay
// unassigned at a price of its own (its private "no-link" column).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quorlin {

/// One feasible entry of a row: a column and its cost.
struct AssignmentEntry {
  std::uint32_t column;
  std::int64_t cost;
};

/// Marks a row that stays unassigned (takes its no-link column).
inline constexpr std::uint32_t kUnassigned = 0xFFFFFFFFu;

/// Largest cost (entry or no-link) the solver accepts; it keeps every reduced cost, potential and
/// path length inside 64 bits.
inline constexpr std::int64_t kMaxAssignmentCost = std::int64_t{1} << 61;

/// Shortest-augmenting-path solver with column potentials, on integer costs only (exact).
///
/// Problem: rows 0 .. R-1 and columns 0 .. C-1. Row r may take one of its feasible entries
/// entries[row_begin[r] .. row_begin[r+1]) (each column at most once per row) or stay unassigned at
/// cost no_link_cost[r]; each column goes to at most one row. The solver returns an assignment of
/// smallest total cost. Memory grows with R + C + the number of entries, never with R * C.
///
/// Ties are broken deterministically: rows are inserted in ascending order, a path ending in a
/// real column is preferred to an equally short one ending in a no-link column, and among equally
/// short paths the lower column index is taken first. So a lone row with an entry costing exactly
/// its no-link cost takes the entry.
///
/// One solver keeps its working buffers between calls; it is not shared between threads.
class AssignmentSolver {
 public:
  /// Solves the problem; returns, for each row, its column or kUnassigned. The reference stays
  /// valid until the next call. Throws std::invalid_argument for costs outside
  /// [0, kMaxAssignmentCost], columns out of range or malformed row offsets.
  const std::vector<std::uint32_t>& solve(std::span<const std::size_t> row_begin,
                                          std::span<const AssignmentEntry> entries,
                                          std::size_t columns,
                                          std::span<const std::int64_t> no_link_cost);

 private:
  enum class Label : std::uint8_t { none, open, done };
  /// Where a shortest augmenting path ends: a free real column, or (column kUnassigned) the
  /// no-link column of no_link_row; and its length.
  struct PathEnd {
    std::uint32_t column;
    std::uint32_t no_link_row;
    std::int64_t length;
  };
  /// Assigns the row root along a shortest augmenting path, updating the potentials.
  void insert_row(std::uint32_t root);
  PathEnd shortest_path(std::uint32_t root);
  void shift_rows(std::uint32_t root, const PathEnd& end);
  void scan_row(std::uint32_t row, std::int64_t base, std::int64_t u);

  std::span<const std::size_t> row_begin_;
  std::span<const AssignmentEntry> entries_;
  std::span<const std::int64_t> no_link_;

  std::vector<std::uint32_t> column_of_row_;  // kUnassigned: on the no-link column
  std::vector<std::int64_t> row_cost_;        // cost of the row's current choice
  std::vector<std::uint32_t> owner_;          // row holding each column, kUnassigned if free
  std::vector<std::int64_t> potential_;       // column potentials v (never positive)
  std::vector<std::int64_t> dist_;
  std::vector<std::uint32_t> pred_row_;
  std::vector<std::int64_t> pred_cost_;
  std::vector<Label> label_;
  std::vector<std::uint32_t> touched_;
  std::vector<std::uint32_t> done_;
  std::vector<std::pair<std::int64_t, std::uint32_t>> heap_;
};

}  // namespace quorlin
