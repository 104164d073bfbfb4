// Exact sparse assignment by successive shortest augmenting paths (Dijkstra on reduced costs).
#include "link/assignment.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace quorlin {

// Invariants between insertions, with u_i = row_cost[i] - v[column_of_row[i]] for a row on a real
// column and u_i = no_link[i] for a row on its no-link column (whose potential stays 0):
//  - every reduced cost c_ik - u_i - v_k of a feasible entry is >= 0, and 0 on the chosen one;
//  - no_link[i] - u_i >= 0, i.e. each placed row sits on its cheapest option at current prices;
//  - v_k <= 0, and v_k < 0 only for columns that are taken.
// These are the optimality conditions of the assignment over the rows inserted so far. Each
// insertion finds a shortest path (in reduced costs) from the new row to a free column or to a
// no-link column, then lowers the potentials of the columns settled before the path's end so the
// invariants hold again. Since every placed row has u_i <= no_link[i], potentials stay within
// [-max cost, 0] and all path lengths below 4 * kMaxAssignmentCost < 2^63.

const std::vector<std::uint32_t>& AssignmentSolver::solve(
    std::span<const std::size_t> row_begin, std::span<const AssignmentEntry> entries,
    std::size_t columns, std::span<const std::int64_t> no_link_cost) {
  const std::size_t rows = no_link_cost.size();
  if (row_begin.size() != rows + 1 || row_begin[0] != 0 || row_begin[rows] != entries.size())
    throw std::invalid_argument("assignment: malformed row offsets");
  if (rows >= kUnassigned || columns >= kUnassigned)
    throw std::invalid_argument("assignment: problem too large");
  for (std::size_t r = 0; r < rows; ++r) {
    if (row_begin[r] > row_begin[r + 1])
      throw std::invalid_argument("assignment: malformed row offsets");
    if (no_link_cost[r] < 0 || no_link_cost[r] > kMaxAssignmentCost)
      throw std::invalid_argument("assignment: no-link cost out of range");
  }
  for (const auto& e : entries)
    if (e.column >= columns || e.cost < 0 || e.cost > kMaxAssignmentCost)
      throw std::invalid_argument("assignment: entry out of range");

  row_begin_ = row_begin;
  entries_ = entries;
  no_link_ = no_link_cost;
  column_of_row_.assign(rows, kUnassigned);
  row_cost_.assign(rows, 0);
  owner_.assign(columns, kUnassigned);
  potential_.assign(columns, 0);
  dist_.resize(columns);
  pred_row_.resize(columns);
  pred_cost_.resize(columns);
  label_.assign(columns, Label::none);
  for (std::uint32_t r = 0; r < rows; ++r) insert_row(r);
  return column_of_row_;
}

void AssignmentSolver::scan_row(std::uint32_t row, std::int64_t base, std::int64_t u) {
  for (std::size_t e = row_begin_[row]; e < row_begin_[row + 1]; ++e) {
    const auto [k, c] = entries_[e];
    if (label_[k] == Label::done) continue;
    const std::int64_t nd = base + (c - u - potential_[k]);
    if (label_[k] == Label::none || nd < dist_[k]) {
      if (label_[k] == Label::none) touched_.push_back(k);
      label_[k] = Label::open;
      dist_[k] = nd;
      pred_row_[k] = row;
      pred_cost_[k] = c;
      heap_.emplace_back(nd, k);
      std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    }
  }
}

void AssignmentSolver::insert_row(std::uint32_t root) {
  const PathEnd end = shortest_path(root);
  for (std::uint32_t k : done_) potential_[k] += dist_[k] - end.length;
  for (std::uint32_t k : touched_) label_[k] = Label::none;
  shift_rows(root, end);
}

AssignmentSolver::PathEnd AssignmentSolver::shortest_path(std::uint32_t root) {
  heap_.clear();
  touched_.clear();
  done_.clear();
  // Path lengths are measured with u_root = 0. The root's own no-link column is the first end.
  PathEnd end{kUnassigned, root, no_link_[root]};
  std::int64_t best_no_link = no_link_[root];
  scan_row(root, 0, 0);
  while (true) {
    while (!heap_.empty() && (label_[heap_.front().second] == Label::done ||
                              heap_.front().first != dist_[heap_.front().second])) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      heap_.pop_back();
    }
    // A real column at the same length as the best no-link end is preferred (a link on a tie).
    if (heap_.empty() || heap_.front().first > best_no_link) {
      end.length = best_no_link;
      return end;
    }
    const auto [dj, j] = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
    heap_.pop_back();
    label_[j] = Label::done;
    done_.push_back(j);
    const std::uint32_t i = owner_[j];
    if (i == kUnassigned) {
      end.column = j;
      end.length = dj;
      return end;
    }
    const std::int64_t u = row_cost_[i] - potential_[j];
    const std::int64_t via_no_link = dj + (no_link_[i] - u);
    if (via_no_link < best_no_link) {
      best_no_link = via_no_link;
      end.no_link_row = i;
    }
    scan_row(i, dj, u);
  }
}

void AssignmentSolver::shift_rows(std::uint32_t root, const PathEnd& end) {
  // Walk the path back from its end, shifting each row onto the column it was reached through.
  std::uint32_t column = end.column;
  if (column == kUnassigned) {
    const std::uint32_t row = end.no_link_row;
    column = column_of_row_[row];
    column_of_row_[row] = kUnassigned;
    row_cost_[row] = no_link_[row];
    if (row == root) return;
    owner_[column] = kUnassigned;
  }
  while (true) {
    const std::uint32_t row = pred_row_[column];
    const std::uint32_t previous = column_of_row_[row];
    column_of_row_[row] = column;
    owner_[column] = row;
    row_cost_[row] = pred_cost_[column];
    if (row == root) return;
    column = previous;
  }
}

}  // namespace quorlin
