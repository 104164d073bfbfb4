// Connected components of a frame pair's shared sources, the tie rule folded into their costs,
// the choice of solver and the memory check before a component's buffers are allocated.
#include "link/components.h"

#include <algorithm>

#include "common/errors.h"
#include "common/memory.h"

namespace quorlin {

namespace {

/// Union-find over the targets of one frame pair; the smaller index becomes the root.
struct TargetSets {
  std::vector<std::uint32_t> parent;
  explicit TargetSets(std::uint32_t n) : parent(n) {
    for (std::uint32_t i = 0; i < n; ++i) parent[i] = i;
  }
  std::uint32_t find(std::uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void unite(std::uint32_t a, std::uint32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
};

/// Counting sort of items by group (ascending, stable) into `order`; returns the groups' offsets.
template <class Item>
std::vector<std::uint64_t> group_offsets(const std::vector<std::uint64_t>& group_of,
                                         std::uint64_t groups, std::span<const Item> items,
                                         std::vector<Item>& order) {
  std::vector<std::uint64_t> begin(groups + 1, 0);
  for (std::uint64_t g : group_of) ++begin[g + 1];
  for (std::uint64_t g = 0; g < groups; ++g) begin[g + 1] += begin[g];
  std::vector<std::uint64_t> next(begin.begin(), begin.end() - 1);
  order.resize(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) order[next[group_of[i]]++] = items[i];
  return begin;
}

/// Smallest number of sources for which the dense solver is considered: below it the sparse
/// solver is as fast, and the matrix is not worth filling.
constexpr std::uint64_t kDenseMinSources = 8;

/// A component goes dense when its feasible entries fill at least kDenseFillNumerator /
/// kDenseFillDenominator of its sources-by-targets matrix (measured crossover of the two solvers
/// on random and on tied components). At that fill the matrix costs at most 16 bytes per entry,
/// no more than the sparse solver's entry list.
constexpr std::uint64_t kDenseFillNumerator = 1;
constexpr std::uint64_t kDenseFillDenominator = 2;

/// Components needing at most this much working memory are not checked against the memory
/// available: reading the kernel's figure costs more than solving them.
constexpr std::uint64_t kUncheckedBytes = std::uint64_t{1} << 20;

/// Working memory of the sparse solver besides its entries, per source and per target.
constexpr std::uint64_t kSparseBytesPerSource = 4 * sizeof(std::uint64_t);
constexpr std::uint64_t kSparseBytesPerTarget = 6 * sizeof(std::uint64_t);

}  // namespace

Components split_components(const CandidateRows& rows, std::span<const std::uint64_t> shared,
                            std::uint64_t g) {
  // The targets the shared sources reach, numbered densely in order of first appearance.
  constexpr std::uint32_t kUnseen = kNoTarget;
  Components out;
  std::vector<std::uint32_t>& local_of = out.column_of;
  local_of.assign(g, kUnseen);
  std::vector<std::uint32_t> reached;
  auto local = [&](std::uint32_t target) -> std::uint32_t {
    if (local_of[target] == kUnseen) {
      local_of[target] = static_cast<std::uint32_t>(reached.size());
      reached.push_back(target);
    }
    return local_of[target];
  };
  for (const std::uint64_t k : shared)
    for (const std::uint32_t t : rows.row(k)) local(t);
  TargetSets sets(static_cast<std::uint32_t>(reached.size()));
  for (const std::uint64_t k : shared) {
    const auto row = rows.row(k);
    for (std::size_t e = 1; e < row.size(); ++e) sets.unite(local(row[0]), local(row[e]));
  }
  constexpr std::uint64_t kNoComponent = ~std::uint64_t{0};
  std::vector<std::uint64_t> component_of_root(reached.size(), kNoComponent);
  std::vector<std::uint64_t> source_component;
  source_component.reserve(shared.size());
  std::uint64_t components = 0;
  for (const std::uint64_t k : shared) {
    auto& id = component_of_root[sets.find(local(rows.row(k)[0]))];
    if (id == kNoComponent) id = components++;
    source_component.push_back(id);
  }
  std::vector<std::uint64_t> target_component(reached.size());
  for (std::uint32_t t = 0; t < reached.size(); ++t)
    target_component[t] = component_of_root[sets.find(t)];
  out.source_begin = group_offsets(source_component, components, shared, out.sources);
  out.target_begin = group_offsets(target_component, components,
                                   std::span<const std::uint32_t>(reached), out.targets);
  // From here on a reached target's entry holds its column within its component.
  for (std::uint64_t c = 0; c < components; ++c)
    for (std::uint64_t k = out.target_begin[c]; k < out.target_begin[c + 1]; ++k)
      local_of[out.targets[k]] = static_cast<std::uint32_t>(k - out.target_begin[c]);
  return out;
}

FoldedCosts fold_tie_rule(std::uint64_t sources, std::int64_t no_link_cost) {
  const std::uint64_t scale = sources + 1;
  if (no_link_cost > 0 && scale <= static_cast<std::uint64_t>((kMaxAssignmentCost - 1) / no_link_cost))
    return {static_cast<std::int64_t>(scale), static_cast<std::int64_t>(scale) * no_link_cost + 1};
  return {1, no_link_cost};
}

bool solve_dense(std::uint64_t sources, std::uint64_t targets, std::uint64_t entries,
                 const FoldedCosts& costs) {
  // The dense matrix marks an unlinked source by the no-link price, which needs the fold; its
  // width bounds the range of the dense solver's potentials.
  const std::uint64_t width = std::max(sources, targets);
  return sources >= kDenseMinSources && costs.scale > 1 &&
         costs.no_link <= DenseAssignment::kMaxDenseCostRange / static_cast<std::int64_t>(width + 1) &&
         static_cast<unsigned __int128>(entries) * kDenseFillDenominator >=
             static_cast<unsigned __int128>(sources) * targets * kDenseFillNumerator;
}

std::uint64_t component_bytes(std::uint64_t sources, std::uint64_t targets, std::uint64_t entries,
                              bool dense) {
  const unsigned __int128 bytes =
      dense ? static_cast<unsigned __int128>(sources) * targets * sizeof(std::int64_t) +
                  static_cast<unsigned __int128>(std::max(sources, targets)) *
                      DenseAssignment::kBytesPerColumn
            : static_cast<unsigned __int128>(entries) * sizeof(AssignmentEntry) +
                  static_cast<unsigned __int128>(sources) * kSparseBytesPerSource +
                  static_cast<unsigned __int128>(targets) * kSparseBytesPerTarget;
  return bytes > ~std::uint64_t{0} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(bytes);
}

void check_component_memory(std::uint64_t bytes, std::uint64_t sources, std::uint64_t targets,
                            const std::string& frame_pair) {
  if (bytes <= kUncheckedBytes) return;
  const std::uint64_t available = available_memory();
  if (bytes > available)
    throw MemoryError("not enough memory to link " + frame_pair + ": a component of " +
                      std::to_string(sources) + " sources and " + std::to_string(targets) +
                      " targets needs " + std::to_string(bytes) +
                      " bytes of working memory, " + std::to_string(available) +
                      " bytes available");
}

}  // namespace quorlin
