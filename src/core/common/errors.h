// The few error types the core throws; the module surface maps them to Python exceptions.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace quorlin {

/// Base of the documented failures. It keeps the whole message: a message can quote the caller's
/// text, which may hold NUL characters that what() would cut off.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message), text_(message) {}
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

/// A documented failure that reaches Python as ValueError with exactly this message.
class ValueError : public Error {
 public:
  using Error::Error;
};

/// A value that does not fit the range the result format can express; reaches Python as
/// OverflowError.
class OverflowError : public Error {
 public:
  using Error::Error;
};

/// A working buffer that cannot be had (larger than the memory available, or a size that does
/// not fit a 64-bit count); reaches Python as MemoryError with this message.
class MemoryError : public Error {
 public:
  using Error::Error;
};

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

}  // namespace quorlin
