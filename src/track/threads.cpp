// The process-wide limit on the oneTBB pool's parallelism. The raw module and this extension load
// the same oneTBB runtime, so one limit holds for every parallel stage in the process.
#include <tbb/global_control.h>

#include <cstddef>
#include <memory>

#include "bindings.h"

namespace quorlin::track {
namespace {

/// The limit in force: none (the pool's default, one thread per logical processor) or one
/// global_control. Kept for the life of the process; calls hold the GIL, so they never race.
struct ThreadLimit {
  std::unique_ptr<tbb::global_control> control;
  std::size_t requested = 0;  // 0: no limit set here
};

ThreadLimit& thread_limit() {
  static ThreadLimit limit;
  return limit;
}

/// Sets the limit to n threads (the calling thread counts as one), or lifts it for n == 0.
void set_thread_limit(std::size_t n) {
  ThreadLimit& limit = thread_limit();
  // The new control exists before the old one goes, so the pool never briefly runs unlimited.
  std::unique_ptr<tbb::global_control> next;
  if (n != 0) {
    next = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism, n);
  }
  limit.control = std::move(next);
  limit.requested = n;
}

}  // namespace

void bind_threads(pybind11::module_& m) {
  m.def("set_thread_limit", &set_thread_limit, pybind11::arg("n"),
        "Limits the oneTBB pool to n threads; 0 restores the default.");
  m.def("thread_limit", [] { return thread_limit().requested; },
        "The limit set by set_thread_limit (0: none).");
  m.def("active_parallelism",
        [] {
          return tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
        },
        "The parallelism the oneTBB runtime allows now, from every control in the process.");
}

}  // namespace quorlin::track
