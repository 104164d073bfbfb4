// Test driver for the assignment solvers: reads problems on stdin, prints each optimal assignment.
//
// Usage: assignment_driver [raw | component | dense | sparse]. "raw" (the default) runs the sparse
// solver on the problem as given; the others solve it as the linking of one frame pair does, with
// the no-link cost of row 0 for every row: split into components, the tie rule folded into the
// costs, each component taken by the solver its shape selects, or by the dense or the sparse one.
//
// Input: the number of problems, then per problem "rows columns" and, per row, its no-link cost,
// its entry count and that many "column cost" pairs. Output: one line per problem holding the total
// cost followed by each row's column (-1 for a row left unassigned).
#include <cstdint>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "link/assignment.h"
#include "link/components.h"

namespace {

using quorlin::ComponentSolver;

struct Problem {
  std::size_t rows = 0, columns = 0;
  std::vector<std::size_t> row_begin{0};
  std::vector<quorlin::AssignmentEntry> entries;
  std::vector<std::int64_t> no_link;
};

std::vector<std::int64_t> solve_raw(quorlin::AssignmentSolver& solver, const Problem& p) {
  const auto& column_of_row = solver.solve(p.row_begin, p.entries, p.columns, p.no_link);
  std::vector<std::int64_t> out;
  for (const auto c : column_of_row) out.push_back(c == quorlin::kUnassigned ? std::int64_t{-1} : std::int64_t{c});
  return out;
}

std::vector<std::int64_t> solve_as_frame_pair(const Problem& p, ComponentSolver::Choice choice) {
  quorlin::CandidateRows rows;
  rows.sources_per_part = p.rows + 1;
  rows.parts.resize(1);
  std::map<std::pair<std::uint64_t, std::uint32_t>, std::int64_t> cost_of;
  std::vector<std::uint64_t> linked;
  for (std::size_t r = 0; r < p.rows; ++r) {
    for (std::size_t e = p.row_begin[r]; e < p.row_begin[r + 1]; ++e) {
      rows.parts[0].push_back(p.entries[e].column);
      cost_of[{r, p.entries[e].column}] = p.entries[e].cost;
    }
    rows.row_end.push_back(rows.parts[0].size());
    if (p.row_begin[r + 1] > p.row_begin[r]) linked.push_back(r);
  }
  std::vector<std::uint32_t> chosen(p.rows, quorlin::kNoTarget);
  if (!linked.empty()) {
    // Every source with an entry goes through the components, lone ones included.
    const auto parts = quorlin::split_components(rows, linked, p.columns);
    ComponentSolver solver;
    solver.choice = choice;
    auto cost = [&](std::uint64_t k, std::uint32_t t) { return cost_of.at({k, t}); };
    for (std::uint64_t c = 0; c < parts.count(); ++c)
      solver.solve(parts, c, rows, p.no_link[0], cost, "frame 0 to frame 1", chosen);
  }
  std::vector<std::int64_t> out;
  for (const auto t : chosen) out.push_back(t == quorlin::kNoTarget ? std::int64_t{-1} : std::int64_t{t});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "raw";
  std::size_t problems = 0;
  std::cin >> problems;
  quorlin::AssignmentSolver solver;
  for (std::size_t q = 0; q < problems; ++q) {
    Problem p;
    std::cin >> p.rows >> p.columns;
    p.no_link.resize(p.rows);
    for (std::size_t r = 0; r < p.rows; ++r) {
      std::size_t count = 0;
      std::cin >> p.no_link[r] >> count;
      for (std::size_t e = 0; e < count; ++e) {
        quorlin::AssignmentEntry entry{};
        std::cin >> entry.column >> entry.cost;
        p.entries.push_back(entry);
      }
      p.row_begin.push_back(p.entries.size());
    }
    if (!std::cin) {
      std::cerr << "malformed input\n";
      return 2;
    }
    std::vector<std::int64_t> column_of_row;
    if (mode == "raw") {
      column_of_row = solve_raw(solver, p);
    } else {
      const auto choice = mode == "dense"    ? ComponentSolver::Choice::dense
                          : mode == "sparse" ? ComponentSolver::Choice::sparse
                                             : ComponentSolver::Choice::by_shape;
      column_of_row = solve_as_frame_pair(p, choice);
    }
    std::int64_t total = 0;
    for (std::size_t r = 0; r < p.rows; ++r) {
      if (column_of_row[r] < 0) {
        total += p.no_link[mode == "raw" ? r : 0];
        continue;
      }
      for (std::size_t e = p.row_begin[r]; e < p.row_begin[r + 1]; ++e)
        if (p.entries[e].column == column_of_row[r]) total += p.entries[e].cost;
    }
    std::cout << total;
    for (std::size_t r = 0; r < p.rows; ++r) std::cout << ' ' << column_of_row[r];
    std::cout << '\n';
  }
  return 0;
}
