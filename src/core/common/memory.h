// What the system can still give the process, and budgets of working memory checked against it,
// so an oversized request raises MemoryError up front instead of being paged in until the kernel
// ends the process.
#pragma once

#include <cstdint>

namespace quorlin {

/// Bytes of memory this process may still take before the system would have to reclaim memory by
/// force (the kernel's estimate of available memory), never more than the cap set below.
std::uint64_t available_memory();

/// Caps what available_memory() reports, for the whole process (0 lifts the cap). A test hook:
/// it lets the refusal paths be exercised with a small budget instead of a real exhaustion.
void cap_available_memory(std::uint64_t bytes);

/// Memory a call may take for its working buffers. Requests beyond it raise MemoryError up front,
/// so an absurd grid is refused at once instead of being paged in by the kernel until it kills the
/// process.
class MemoryBudget {
 public:
  MemoryBudget() : remaining_(available_memory()) {}
  /// Takes count·unit bytes, or throws MemoryError naming what needed them.
  void take(std::uint64_t count, std::uint64_t unit, const char* what);
  std::uint64_t remaining() const { return remaining_; }

 private:
  std::uint64_t remaining_;
};

}  // namespace quorlin
