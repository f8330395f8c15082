#include "TarvelCore/Platform/BoundedInput.hpp"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace tarvel::BoundedInput {

std::optional<std::string> read(int fd, const Limits& limits) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + limits.deadline;
  std::string buffer;
  std::array<char, readBlockBytes> block{};
  while (Clock::now() < end) {
    pollfd descriptor{.fd = fd, .events = POLLIN | POLLHUP, .revents = 0};
    const int ready = ::poll(&descriptor, 1, static_cast<int>(pollInterval.count()));
    if (ready < 0) {
      // A signal delivered to the hook (the agent's terminal resizing, a timer) is no reason to
      // lose the event.
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (ready == 0) {
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
        continue;
      }
      return std::nullopt;
    }
    buffer.append(block.data(), static_cast<std::size_t>(count));
    if (buffer.size() > limits.maximumInputBytes) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::BoundedInput
