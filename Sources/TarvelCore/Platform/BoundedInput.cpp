#include "TarvelCore/Platform/BoundedInput.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

namespace tarvel::BoundedInput {

std::optional<std::string> read(int fd, const Limits& limits) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + limits.deadline;
  std::string buffer;
  std::array<char, readBlockBytes> block{};
  // The deadline bounds waiting for the writer, not the reader's own progress: input that is
  // already there is taken even when this process was kept off the processor past the deadline
  // (a burst of hooks on a busy machine), so only a poll that finds nothing ends the read.
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
    const int wait = static_cast<int>(
        std::clamp<std::int64_t>(left.count(), 0, pollInterval.count()));
    pollfd descriptor{.fd = fd, .events = POLLIN | POLLHUP, .revents = 0};
    const int ready = ::poll(&descriptor, 1, wait);
    if (ready < 0) {
      // A signal delivered to the hook (the agent's terminal resizing, a timer) is no reason to
      // lose the event.
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (ready == 0) {
      if (wait == 0) {
        return std::nullopt;
      }
      continue;
    }
    ssize_t count = 0;
    do {
      count = ::read(fd, block.data(), block.size());
    } while (count < 0 && errno == EINTR);
    if (count == 0) {
      return buffer;
    }
    if (count < 0) {
      // An agent may hand over a non-blocking pipe: readiness can be spurious there, so wait
      // for the next poll rather than dropping the document.
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (Clock::now() >= end) {
          return std::nullopt;
        }
        continue;
      }
      return std::nullopt;
    }
    buffer.append(block.data(), static_cast<std::size_t>(count));
    if (buffer.size() > limits.maximumInputBytes) {
      return std::nullopt;
    }
  }
}

}  // namespace tarvel::BoundedInput
