#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

// Reads the hook document an agent writes to the hook command's standard input, bounded in time
// and size so that a stuck or runaway agent can never hold the hook: it polls in short steps until
// end of input, and gives up at the deadline or past the size limit.
namespace quoya::HookInputReader {

inline constexpr std::chrono::milliseconds deadline{800};
// Exactly this many bytes are still accepted.
inline constexpr std::size_t maximumInputBytes = 1'048'576;

struct Limits {
  std::chrono::steady_clock::duration deadline = HookInputReader::deadline;
  std::size_t maximumInputBytes = HookInputReader::maximumInputBytes;
};

// Everything read from `fd` up to its end, or absent when the deadline passes first (even with a
// complete document already read), when the input grows past the limit, or when poll or read
// fails. Interrupted calls are retried; a non-blocking descriptor with nothing to read yet is
// polled again. Never closes `fd`.
std::optional<std::string> read(int fd, const Limits& limits = {});

}  // namespace quoya::HookInputReader
