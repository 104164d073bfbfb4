// Working buffers reused from task to task within one call, and the loop over many frames at once
// that leases them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "common/parallel.h"
#include "common/stop.h"

namespace quorlin {

/// Frame buffers reused from frame to frame within one call. A frame's task holds its buffers
/// until it ends; they are not per thread, because a worker waiting inside a frame's nested
/// parallel stage may start another frame meanwhile.
class BufferPool {
 public:
  std::vector<float> take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return {};
    std::vector<float> buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
  }
  void give(std::vector<float>&& buffer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(std::move(buffer));
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<float>> free_;
};

/// A buffer taken from the pool for the lifetime of this object.
class Lease {
 public:
  explicit Lease(BufferPool& pool) : pool_(pool), buffer_(pool.take()) {}
  ~Lease() { pool_.give(std::move(buffer_)); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  std::vector<float>& operator*() { return buffer_; }

 private:
  BufferPool& pool_;
  std::vector<float> buffer_;
};

/// work(f, pool) for each of `frames` frames in parallel, its buffers leased from one pool for the
/// call, and what each returns, in frame order. Once `stopped` asks, the frames not yet started are
/// skipped (their results stay as constructed).
template <class Result, class Work>
std::vector<Result> for_each_frame(std::uint64_t frames, const StopRequested& stopped, Work&& work) {
  std::vector<Result> results(frames);
  BufferPool pool;
  parallel_for(frames, [&](std::size_t f) {
    if (!stop_asked(stopped)) results[f] = work(f, pool);
  });
  return results;
}

}  // namespace quorlin
