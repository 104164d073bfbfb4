// The kernel's estimate of available memory and the budgets checked against it.
#include "common/memory.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>
#include <string>

#include "common/errors.h"

namespace quorlin {

namespace {
std::atomic<std::uint64_t> memory_cap{0};  // 0: no cap
}  // namespace

void cap_available_memory(std::uint64_t bytes) { memory_cap.store(bytes); }

std::uint64_t available_memory() {
  std::uint64_t bytes = std::numeric_limits<std::uint64_t>::max();
  bool found = false;
  // MemAvailable counts free memory plus what the kernel can reclaim without swapping.
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    while (!found && std::fgets(line, sizeof line, f) != nullptr)
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(f);
    if (found) bytes = static_cast<std::uint64_t>(kib) * 1024;
  }
  if (!found) {
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
      bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
  }
  const std::uint64_t cap = memory_cap.load();
  return cap == 0 ? bytes : std::min(bytes, cap);
}

void MemoryBudget::take(std::uint64_t count, std::uint64_t unit, const char* what) {
  if (unit != 0 && count > remaining_ / unit)
    throw MemoryError(std::string("not enough memory for ") + what + " (" + std::to_string(count) +
                      " x " + std::to_string(unit) + " bytes wanted, " +
                      std::to_string(remaining_) + " bytes available)");
  remaining_ -= count * unit;
}

}  // namespace quorlin
