// The few error types the core throws; the module surface maps them to Python exceptions.
#pragma once

#include <stdexcept>
#include <string>

namespace quorlin {

/// A documented failure that reaches Python as ValueError with exactly this message.
class ValueError : public std::runtime_error {
 public:
  explicit ValueError(const std::string& message) : std::runtime_error(message) {}
};

/// A value that does not fit the range the result format can express; reaches Python as
/// OverflowError.
class OverflowError : public std::runtime_error {
 public:
  explicit OverflowError(const std::string& message) : std::runtime_error(message) {}
};

/// A working buffer that cannot be had (larger than the memory available, or a size that does
/// not fit a 64-bit count); reaches Python as MemoryError with this message.
class MemoryError : public std::runtime_error {
 public:
  explicit MemoryError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quorlin
