// Asking long work to stop early from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace quorlin {

/// Polled between steps of long work (frame pairs, frames) from its worker threads; once it returns
/// true, the remaining steps are skipped and the result is incomplete (the caller discards it).
/// Empty: never asked.
using StopRequested = std::function<bool()>;

/// A StopRequested reading a byte that another thread sets to nonzero (null: never asked). Read
/// relaxed: a late look only delays the stop by a step.
inline StopRequested stop_flag_reader(std::uint8_t* flag) {
  if (flag == nullptr) return {};
  return [flag] { return std::atomic_ref<std::uint8_t>(*flag).load(std::memory_order_relaxed) != 0; };
}

/// Whether `stopped` asks to stop now.
inline bool stop_asked(const StopRequested& stopped) {
  return stopped && stopped();
}

}  // namespace quorlin
