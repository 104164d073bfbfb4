// What the per-chunk detection paths of quorlin_track._native share: reusable frame buffers, the
// stop flag the caller's thread sets, and flat result arrays.
#pragma once

#include <pybind11/numpy.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace quorlin::track {

/// Set by the caller's thread to ask the workers to stop: frames not yet started are skipped.
using StopFlag = std::atomic_ref<std::uint8_t>;

/// Whether the caller asked to stop.
inline bool stop_requested(std::uint8_t* stop) {
  return stop != nullptr && StopFlag(*stop).load(std::memory_order_relaxed) != 0;
}

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

/// A new NumPy array of the given shape holding the values.
template <class T>
pybind11::array_t<T> flat_array(const std::vector<T>& values, std::vector<pybind11::ssize_t> shape) {
  pybind11::array_t<T> out(shape);
  if (!values.empty()) std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(T));
  return out;
}

}  // namespace quorlin::track
