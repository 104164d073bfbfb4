// Connected components of a frame pair's shared sources, the tie rule folded into their costs,
// the choice of solver and the memory check before a component's buffers are allocated.
#include "link/components.h"

#include <algorithm>

#include "common/errors.h"
#include "common/memory.h"

namespace quorlin {

namespace {

/// Union-find over the targets of one frame pair, grown as targets are first seen.
struct TargetSets {
  std::vector<std::uint32_t> parent;
  std::uint32_t add(std::uint32_t root) {
    parent.push_back(root);
    return static_cast<std::uint32_t>(parent.size() - 1);
  }
  std::uint32_t find(std::uint32_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
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
/// kDenseFillDenominator of its sources-by-targets matrix. Measured on components of 16 to 1,000
/// sources: at a quarter the dense solver is 1.5 to 4 times faster on distinct costs and 50 to 300
/// times on tied ones; the matrix then costs at most 32 bytes per entry (the sparse list 16).
constexpr std::uint64_t kDenseFillNumerator = 1;
constexpr std::uint64_t kDenseFillDenominator = 4;

/// Components needing at most this much working memory are not checked against the memory
/// available: reading the kernel's figure costs more than solving them.
constexpr std::uint64_t kUncheckedBytes = std::uint64_t{1} << 20;

/// Working memory of the sparse solver besides its entries, per source and per target.
constexpr std::uint64_t kSparseBytesPerSource = 4 * sizeof(std::uint64_t);
constexpr std::uint64_t kSparseBytesPerTarget = 6 * sizeof(std::uint64_t);

}  // namespace

Components split_components(const CandidateRows& rows, std::span<const std::uint64_t> shared,
                            std::uint64_t g) {
  // The targets the shared sources reach, numbered densely in order of first appearance, and
  // joined into sets: a target first seen joins the set of its source's first target directly,
  // one seen before merges its set with that one.
  constexpr std::uint32_t kUnseen = kNoTarget;
  Components out;
  std::vector<std::uint32_t>& local_of = out.column_of;
  local_of.assign(g, kUnseen);
  std::vector<std::uint32_t> reached;
  TargetSets sets;
  std::vector<std::uint32_t> first_of_source;
  first_of_source.reserve(shared.size());
  for (const std::uint64_t k : shared) {
    std::uint32_t root = kUnseen;
    for (const std::uint32_t t : rows.row(k)) {
      std::uint32_t& id = local_of[t];
      if (id == kUnseen) {
        id = static_cast<std::uint32_t>(reached.size());
        reached.push_back(t);
        sets.add(root == kUnseen ? id : root);
      } else {
        const std::uint32_t other = sets.find(id);
        if (root == kUnseen) {
          root = other;
        } else if (other != root) {
          sets.parent[std::max(root, other)] = std::min(root, other);
          root = std::min(root, other);
        }
      }
      if (root == kUnseen) root = sets.find(id);
    }
    first_of_source.push_back(local_of[rows.row(k)[0]]);
  }
  constexpr std::uint64_t kNoComponent = ~std::uint64_t{0};
  std::vector<std::uint64_t> component_of_root(reached.size(), kNoComponent);
  std::vector<std::uint64_t> source_component;
  source_component.reserve(shared.size());
  std::uint64_t components = 0;
  for (const std::uint32_t first : first_of_source) {
    auto& id = component_of_root[sets.find(first)];
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
