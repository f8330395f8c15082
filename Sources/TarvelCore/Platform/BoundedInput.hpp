#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

// Reads a descriptor to its end, bounded in time and size, so that a stuck or runaway writer can
// never hold the reader: it polls in short steps until end of input, and gives up at the deadline
// or past the size limit.
namespace tarvel::BoundedInput {

inline constexpr std::chrono::milliseconds pollInterval{50};
inline constexpr std::size_t readBlockBytes = 8192;

struct Limits {
  std::chrono::steady_clock::duration deadline = std::chrono::milliseconds(800);
  // Exactly this many bytes are still accepted.
  std::size_t maximumInputBytes = 1'048'576;
};

// Everything read from `fd` up to its end, or absent when the deadline passes first (even with a
// complete document already read), when the input grows past the limit, or when poll or read
// fails. Interrupted calls are retried; a non-blocking descriptor with nothing to read yet is
// polled again. Never closes `fd`.
std::optional<std::string> read(int fd, const Limits& limits);

}  // namespace tarvel::BoundedInput
