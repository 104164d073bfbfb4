// Exact minimum-cost assignment on a dense matrix of 64-bit integer costs, after Jonker and
// Volgenant: initial reductions that settle most rows in a few linear passes (and stay fast where
// many costs are equal), then shortest augmenting paths for the rows left over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorlin {

/// Solves min sum cost[r][column[r]] over assignments of every row to a distinct column, for a
/// row-major rows x columns matrix with rows <= columns. Costs must lie in [0, max_cost] with
/// (columns + 1) * max_cost <= kMaxDenseCostRange. Potentials move by at most max_cost per
/// reduction step and per augmentation, and both are bounded by the column count, so this range
/// leaves every potential and path length far (2^7 times) inside 64 bits.
///
/// Ties are broken by position: the reductions scan columns in a fixed order and every search
/// takes the first column of equal value, so the result depends only on the matrix.
///
/// One solver keeps its working buffers between calls; it is not shared between threads.
class DenseAssignment {
 public:
  static constexpr std::int64_t kMaxDenseCostRange = std::int64_t{1} << 56;

  /// Returns each row's column. The reference stays valid until the next call. Throws
  /// std::invalid_argument for a malformed size or a max_cost out of range; the costs themselves
  /// are the caller's to keep within [0, max_cost] (not checked: a scan would cost a tenth of the
  /// solve on tied matrices).
  const std::vector<std::uint32_t>& solve(std::span<const std::int64_t> cost, std::size_t rows,
                                          std::size_t columns, std::int64_t max_cost);

  /// Bytes of working memory beside the matrix, per column (rows <= columns).
  static constexpr std::size_t kBytesPerColumn = 2 * sizeof(std::int64_t) + 6 * sizeof(std::uint32_t);

 private:
  /// One shortest-path search of augment: order_ holds the scanned columns in [0, low), the
  /// columns at distance `least` in [low, up), then the rest; `end` is the free column reached
  /// (none yet: all bits set).
  struct Search {
    std::int64_t least;
    std::size_t low;
    std::size_t up;
    std::uint32_t end;
  };

  void reduce_columns();
  void reduce_rows();
  /// Assigns the free row root along a shortest augmenting path, updating the potentials.
  void augment(std::uint32_t root);
  Search start_search(std::uint32_t root);
  void gather_nearest(Search& search);
  void scan_nearest(Search& search);
  void take_path(std::uint32_t root, std::uint32_t end);
  const std::int64_t* row(std::uint32_t r) const { return cost_ + std::size_t{r} * columns_; }

  const std::int64_t* cost_ = nullptr;
  std::size_t rows_ = 0, columns_ = 0;
  std::vector<std::uint32_t> column_of_row_;
  std::vector<std::uint32_t> row_of_column_;
  std::vector<std::int64_t> v_;       // column potentials
  std::vector<std::uint32_t> free_;   // rows not yet assigned
  std::vector<std::uint32_t> next_free_;
  std::vector<std::int64_t> dist_;
  std::vector<std::uint32_t> pred_;
  std::vector<std::uint32_t> order_;  // columns: [0, low) scanned, [low, up) at the minimum, rest
  std::vector<std::uint32_t> count_;  // columns each row took in the column reduction
};

}  // namespace quorlin
