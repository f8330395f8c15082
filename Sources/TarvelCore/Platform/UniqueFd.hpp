#pragma once

#include <unistd.h>

#include <utility>

namespace tarvel {

// Owns one file descriptor; -1 means empty. Move-only: moving transfers ownership, and
// move-assignment or reset() closes the descriptor held before. close() is not retried on
// EINTR, because on Linux the descriptor is released even then.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int descriptor) : descriptor(descriptor) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : descriptor(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return descriptor; }
  bool valid() const { return descriptor >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() { return std::exchange(descriptor, -1); }

  // Closes the held descriptor, if any, and takes `replacement`.
  void reset(int replacement = -1) {
    const int old = std::exchange(descriptor, replacement);
    if (old >= 0) {
      ::close(old);
    }
  }

 private:
  int descriptor = -1;
};

}  // namespace tarvel
