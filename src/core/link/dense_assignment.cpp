// Dense exact assignment: column reduction, reduction transfer and augmenting row reduction, then
// shortest augmenting paths that settle all columns of one distance at once.
#include "link/dense_assignment.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "common/parallel.h"

namespace quorlin {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::int64_t kUnset = std::numeric_limits<std::int64_t>::max();

/// Passes of augmenting row reduction before the remaining rows are augmented one at a time: the
/// first pass settles most rows, a second catches most of the rows it displaced, later ones little.
constexpr int kRowReductionPasses = 2;

/// Columns per task of the column reduction: a slice of every row, long enough to stream.
constexpr std::size_t kReducedColumnsPerTask = 1024;

}  // namespace

// Dual feasibility, kept throughout: for a row r on column c, cost[r][c] - v[c] is the smallest
// reduced cost cost[r][j] - v[j] of its row. On a square matrix every column ends up taken, so the
// potentials may take any sign. With more columns than rows a column left free must keep v = 0:
// then only the row reductions and augmentations run, and both lower the potentials of taken
// columns only.

const std::vector<std::uint32_t>& DenseAssignment::solve(std::span<const std::int64_t> cost,
                                                         std::size_t rows, std::size_t columns,
                                                         std::int64_t max_cost) {
  if (rows > columns || columns >= kNone || cost.size() != rows * columns)
    throw std::invalid_argument("dense assignment: malformed size");
  if (max_cost < 0 ||
      static_cast<std::int64_t>(columns) + 1 > kMaxDenseCostRange / std::max<std::int64_t>(max_cost, 1))
    throw std::invalid_argument("dense assignment: cost range too large");
  cost_ = cost.data();
  rows_ = rows;
  columns_ = columns;
  column_of_row_.assign(rows, kNone);
  row_of_column_.assign(columns, kNone);
  v_.assign(columns, 0);
  dist_.resize(columns);
  pred_.resize(columns);
  order_.resize(columns);
  free_.clear();
  if (rows == 0) return column_of_row_;
  if (rows == columns) {
    reduce_columns();
  } else {
    for (std::uint32_t r = 0; r < rows; ++r) free_.push_back(r);
  }
  for (int pass = 0; pass < kRowReductionPasses && !free_.empty(); ++pass) reduce_rows();
  next_free_ = free_;
  for (const std::uint32_t r : next_free_) augment(r);
  free_.clear();
  return column_of_row_;
}

void DenseAssignment::reduce_columns() {
  // Column reduction: v[j] is the smallest cost of column j, and the first row attaining it takes
  // the column unless it already took one (columns in descending order). Computed row by row, so
  // the matrix is read in memory order.
  std::uint32_t* const first_row = pred_.data();
  std::int64_t* const v = v_.data();
  parallel_for((columns_ + kReducedColumnsPerTask - 1) / kReducedColumnsPerTask, [&](std::size_t task) {
    const std::size_t first = task * kReducedColumnsPerTask;
    const std::size_t end = std::min(columns_, first + kReducedColumnsPerTask);
    const std::int64_t* top = row(0);
    for (std::size_t j = first; j < end; ++j) {
      v[j] = top[j];
      first_row[j] = 0;
    }
    for (std::uint32_t r = 1; r < rows_; ++r) {
      const std::int64_t* __restrict c = row(r);
      std::int64_t* __restrict least = v;
      std::uint32_t* __restrict at = first_row;
      for (std::size_t j = first; j < end; ++j) {
        const bool lower = c[j] < least[j];
        least[j] = lower ? c[j] : least[j];
        at[j] = lower ? r : at[j];
      }
    }
  });
  count_.assign(rows_, 0);
  for (std::size_t j = columns_; j-- > 0;) {
    const std::uint32_t r = first_row[j];
    if (count_[r]++ == 0) {
      column_of_row_[r] = static_cast<std::uint32_t>(j);
      row_of_column_[j] = r;
    }
  }
  // Reduction transfer: a row that took exactly one column passes the slack to its second-best
  // column on to it (lowering its potential), so the row reductions start from tighter prices.
  for (std::uint32_t r = 0; r < rows_; ++r) {
    if (count_[r] == 0) {
      free_.push_back(r);
      continue;
    }
    if (count_[r] != 1 || columns_ == 1) continue;
    const std::uint32_t taken = column_of_row_[r];
    const std::int64_t* c = row(r);
    std::int64_t slack = kUnset;
    for (std::size_t j = 0; j < columns_; ++j)
      if (j != taken) slack = std::min(slack, c[j] - v_[j]);
    v_[taken] -= slack;
  }
}

void DenseAssignment::reduce_rows() {
  // Augmenting row reduction: a free row takes the column of its smallest reduced cost and lowers
  // that column's potential to the gap to its second smallest; the row it displaces is handled
  // next. Where the two smallest are equal the potential cannot fall: the row then takes a free
  // column of that smallest value if there is one, else the second column, and a row displaced
  // then waits for the next pass; this keeps mass ties from cycling. Each pass is capped at one
  // displacement step per column.
  next_free_.clear();
  std::size_t steps = 0;
  for (const std::uint32_t start : free_) {
    std::uint32_t r = start;
    while (true) {
      const std::int64_t* c = row(r);
      std::int64_t u1 = kUnset, u2 = kUnset;
      std::uint32_t j1 = kNone, j2 = kNone, free_at_u1 = kNone;
      for (std::uint32_t j = 0; j < columns_; ++j) {
        const std::int64_t h = c[j] - v_[j];
        if (h < u2) {
          if (h < u1) {
            u2 = u1;
            j2 = j1;
            u1 = h;
            j1 = j;
            free_at_u1 = row_of_column_[j] == kNone ? j : kNone;
          } else {
            u2 = h;
            j2 = j;
            if (h == u1 && free_at_u1 == kNone && row_of_column_[j] == kNone) free_at_u1 = j;
          }
        } else if (h == u1 && free_at_u1 == kNone && row_of_column_[j] == kNone) {
          free_at_u1 = j;
        }
      }
      std::uint32_t displaced = row_of_column_[j1];
      const bool lowered = j2 != kNone && u1 < u2;
      if (lowered) {
        v_[j1] -= u2 - u1;
      } else if (free_at_u1 != kNone) {
        j1 = free_at_u1;
        displaced = kNone;
      } else if (displaced != kNone && j2 != kNone) {
        j1 = j2;
        displaced = row_of_column_[j2];
      }
      if (displaced != kNone) column_of_row_[displaced] = kNone;
      column_of_row_[r] = j1;
      row_of_column_[j1] = r;
      if (displaced == kNone) break;
      if (lowered && ++steps <= columns_) {
        r = displaced;
        continue;
      }
      next_free_.push_back(displaced);
      break;
    }
  }
  free_.swap(next_free_);
}

void DenseAssignment::augment(std::uint32_t root) {
  // Shortest path from the root to a free column over reduced costs (Dijkstra): the columns of
  // the current smallest distance are gathered in one pass, and the search stops as soon as one of
  // them is free, which makes equal costs cheap.
  Search search = start_search(root);
  while (search.end == kNone) {
    if (search.low == search.up) {
      gather_nearest(search);
      if (search.end != kNone) break;
    }
    scan_nearest(search);
  }
  for (std::size_t k = 0; k < search.low; ++k) v_[order_[k]] += dist_[order_[k]] - search.least;
  take_path(root, search.end);
}

DenseAssignment::Search DenseAssignment::start_search(std::uint32_t root) {
  // The distances from the root; the columns of the smallest one gathered at the front of order_,
  // with the first free column among them.
  const std::int64_t* c = row(root);
  std::int64_t least = kUnset;
  std::size_t up = 0;
  std::uint32_t end = kNone;
  for (std::uint32_t j = 0; j < columns_; ++j) {
    const std::int64_t h = c[j] - v_[j];
    dist_[j] = h;
    pred_[j] = root;
    order_[j] = j;
    if (h <= least) {
      if (h < least) {
        least = h;
        up = 0;
        end = kNone;
      }
      order_[j] = order_[up];
      order_[up++] = j;
      if (end == kNone && row_of_column_[j] == kNone) end = j;
    }
  }
  return {least, 0, up, end};
}

void DenseAssignment::gather_nearest(Search& search) {
  // Every column at the next smallest distance gathered after the scanned ones, and the first
  // free one among them.
  std::int64_t least = dist_[order_[search.up]];
  std::size_t top = search.up + 1;
  for (std::size_t k = search.up + 1; k < columns_; ++k) {
    const std::uint32_t j = order_[k];
    const std::int64_t h = dist_[j];
    if (h <= least) {
      if (h < least) {
        top = search.up;
        least = h;
      }
      order_[k] = order_[top];
      order_[top++] = j;
    }
  }
  search.least = least;
  search.up = top;
  for (std::size_t k = search.low; k < search.up && search.end == kNone; ++k)
    if (row_of_column_[order_[k]] == kNone) search.end = order_[k];
}

void DenseAssignment::scan_nearest(Search& search) {
  // The next column at the smallest distance is scanned: the distances through its row are
  // lowered, and a column reached at the smallest distance joins the gathered ones (or, when free,
  // ends the search).
  const std::uint32_t scanned = order_[search.low++];
  const std::uint32_t r = row_of_column_[scanned];
  const std::int64_t* q = row(r);
  const std::int64_t least = search.least;
  const std::int64_t offset = q[scanned] - v_[scanned] - least;
  std::size_t up = search.up;
  for (std::size_t k = up; k < columns_; ++k) {
    const std::uint32_t j = order_[k];
    const std::int64_t h = q[j] - v_[j] - offset;
    if (h < dist_[j]) {
      dist_[j] = h;
      pred_[j] = r;
      if (h == least) {
        if (row_of_column_[j] == kNone) {
          search.end = j;
          break;
        }
        order_[k] = order_[up];
        order_[up++] = j;
      }
    }
  }
  search.up = up;
}

void DenseAssignment::take_path(std::uint32_t root, std::uint32_t end) {
  // Each column on the path back from the free column `end` to the root goes to its predecessor row.
  for (std::uint32_t j = end;;) {
    const std::uint32_t r = pred_[j];
    row_of_column_[j] = r;
    const std::uint32_t previous = column_of_row_[r];
    column_of_row_[r] = j;
    if (r == root) break;
    j = previous;
  }
}

}  // namespace quorlin
