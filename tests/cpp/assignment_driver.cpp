// Test driver for the assignment solver: reads problems on stdin, prints each optimal assignment.
//
// Input: the number of problems, then per problem "rows columns" and, per row, its no-link cost,
// its entry count and that many "column cost" pairs. Output: one line per problem holding the total
// cost followed by each row's column (-1 for a row left unassigned).
#include <cstdint>
#include <iostream>
#include <vector>

#include "link/assignment.h"

int main() {
  std::size_t problems = 0;
  std::cin >> problems;
  quorlin::AssignmentSolver solver;
  for (std::size_t p = 0; p < problems; ++p) {
    std::size_t rows = 0, columns = 0;
    std::cin >> rows >> columns;
    std::vector<std::size_t> row_begin{0};
    std::vector<quorlin::AssignmentEntry> entries;
    std::vector<std::int64_t> no_link(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      std::size_t count = 0;
      std::cin >> no_link[r] >> count;
      for (std::size_t e = 0; e < count; ++e) {
        quorlin::AssignmentEntry entry{};
        std::cin >> entry.column >> entry.cost;
        entries.push_back(entry);
      }
      row_begin.push_back(entries.size());
    }
    if (!std::cin) {
      std::cerr << "malformed input\n";
      return 2;
    }
    const auto& column_of_row = solver.solve(row_begin, entries, columns, no_link);
    std::int64_t total = 0;
    for (std::size_t r = 0; r < rows; ++r) {
      if (column_of_row[r] == quorlin::kUnassigned) {
        total += no_link[r];
        continue;
      }
      for (std::size_t e = row_begin[r]; e < row_begin[r + 1]; ++e)
        if (entries[e].column == column_of_row[r]) total += entries[e].cost;
    }
    std::cout << total;
    for (std::size_t r = 0; r < rows; ++r)
      std::cout << ' '
                << (column_of_row[r] == quorlin::kUnassigned ? std::int64_t{-1}
                                                             : std::int64_t{column_of_row[r]});
    std::cout << '\n';
  }
  return 0;
}
