// Working buffers reused from task to task within one call, for work on many frames at once.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

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

}  // namespace quorlin
