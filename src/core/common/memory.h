// What the system can still give the process, and budgets of working memory checked against it,
// so an oversized request raises MemoryError up front instead of being paged in until the kernel
// ends the process.
#pragma once

#include <cstdint>
#include <string>

#include "common/errors.h"

namespace quorlin {

/// Bytes of memory this process may still take before the system would have to reclaim memory by
/// force: on Linux the kernel's estimate of available memory, on macOS the free, inactive and
/// purgeable pages, on Windows the available physical memory. The largest 64-bit count when the
/// system does not say.
std::uint64_t available_memory();

/// Memory a call may take for its working buffers. Requests beyond it raise MemoryError up front,
/// so an absurd grid is refused at once instead of being paged in by the kernel until it kills the
/// process.
class MemoryBudget {
 public:
  MemoryBudget() : remaining_(available_memory()) {}
  /// Takes count·unit bytes, or throws MemoryError naming what needed them.
  void take(std::uint64_t count, std::uint64_t unit, const char* what) {
    if (unit != 0 && count > remaining_ / unit)
      throw MemoryError(std::string("not enough memory for ") + what + " (" +
                        std::to_string(count) + " x " + std::to_string(unit) + " bytes wanted, " +
                        std::to_string(remaining_) + " bytes available)");
    remaining_ -= count * unit;
  }

 private:
  std::uint64_t remaining_;
};

}  // namespace quorlin
