// The memory available to the process, asked of each platform in its own way. This file holds
// nothing else, so a test program can link its own definition in its place.
#include "common/memory.h"

#include <limits>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX  // std::numeric_limits<...>::max() below, not the macro
#include <windows.h>
#elif defined(__APPLE__)
#include <mach/mach.h>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#endif

namespace quorlin {

namespace {

/// What is reported when the system gives no figure: no limit of ours.
constexpr std::uint64_t kUnknown = std::numeric_limits<std::uint64_t>::max();

#if defined(_WIN32)
std::uint64_t system_available_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status) == 0) return kUnknown;
  return static_cast<std::uint64_t>(status.ullAvailPhys);
}
#elif defined(__APPLE__)
std::uint64_t system_available_memory() {
  // Free pages, and inactive and purgeable ones the system hands out before it compresses or
  // swaps anything.
  vm_statistics64_data_t stats{};
  mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
  const mach_port_t host = mach_host_self();
  vm_size_t page_size = 0;
  const bool known =
      host_page_size(host, &page_size) == KERN_SUCCESS &&
      host_statistics64(host, HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&stats), &count) ==
          KERN_SUCCESS;
  mach_port_deallocate(mach_task_self(), host);
  if (!known || page_size == 0) return kUnknown;
  const std::uint64_t pages = std::uint64_t{stats.free_count} + stats.inactive_count +
                              stats.purgeable_count;
  return pages * static_cast<std::uint64_t>(page_size);
}
#else
std::uint64_t system_available_memory() {
  // MemAvailable counts free memory plus what the kernel can reclaim without swapping.
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr)
      found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(f);
    if (found) return static_cast<std::uint64_t>(kib) * 1024;
  }
  // Other POSIX systems: the free pages, where the system names them.
#if defined(_SC_AVPHYS_PAGES)
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page_size > 0)
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
#endif
  return kUnknown;
}

/// The address space the process may still map under its limit (ulimit -v, as batch systems set
/// for a job), or kUnknown without a limit: beyond it an allocation fails whatever the system has.
std::uint64_t address_space_headroom() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnknown;
  unsigned long long mapped_kib = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f) != nullptr)
      found = std::sscanf(line, "VmSize: %llu kB", &mapped_kib) == 1;
    std::fclose(f);
  }
  const auto mapped = static_cast<std::uint64_t>(mapped_kib) * 1024;
  const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
  return cap > mapped ? cap - mapped : 0;
}
#endif

}  // namespace

#if defined(_WIN32) || defined(__APPLE__)
std::uint64_t available_memory() { return system_available_memory(); }
#else
std::uint64_t available_memory() {
  return std::min(system_available_memory(), address_space_headroom());
}
#endif

}  // namespace quorlin
