// Failed allocations in quorlin_track._native told as what did not fit, instead of std::bad_alloc.
#pragma once

#include <new>
#include <string>
#include <utility>

#include "common/errors.h"

namespace quorlin::track {

/// Runs work() and returns its result; a failed allocation inside it (in any of its worker threads)
/// becomes MemoryError "not enough memory to <what>", e.g. "to link 12 detections in 3 frames".
template <class Work>
auto naming_memory(const std::string& what, Work&& work) -> decltype(std::forward<Work>(work)()) {
  try {
    return std::forward<Work>(work)();
  } catch (const std::bad_alloc&) {
    throw MemoryError("not enough memory to " + what);
  }
}

}  // namespace quorlin::track
