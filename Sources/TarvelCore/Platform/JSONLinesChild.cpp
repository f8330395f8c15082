#include "TarvelCore/Platform/JSONLinesChild.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

namespace tarvel {
namespace {

using Clock = std::chrono::steady_clock;

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) {
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
}

}  // namespace

JSONLinesChild::JSONLinesChild(Spawn::Child& child) : child(child) {
  setNonBlocking(child.input.get());
  setNonBlocking(child.output.get());
}

void JSONLinesChild::send(const Json& message) {
  if (writeFailed) {
    return;
  }
  if (!hasOutbox()) {
    outbox.clear();
    written = 0;
  }
  outbox += Coding::encode(message);
  outbox += '\n';
  flush();
}

void JSONLinesChild::flush() {
  while (hasOutbox() && !writeFailed) {
    const auto count =
        Spawn::writeSome(child.input.get(), std::string_view(outbox).substr(written));
    if (!count) {
      writeFailed = true;
      outbox.clear();
      written = 0;
      child.input.reset();
      return;
    }
    if (*count == 0) {
      return;  // the pipe is full: the rest goes once the child reads
    }
    written += *count;
  }
}

JSONLinesChild::End JSONLinesChild::run(const Limits& limits,
                                        const std::function<bool(const Json&)>& onMessage) {
  const auto stopAt = Clock::now() + limits.deadline;
  std::string buffer;
  std::vector<char> chunk(std::max<std::size_t>(limits.readChunkBytes, 1));
  std::size_t bytesRead = 0;
  while (true) {
    const auto now = Clock::now();
    if (now >= stopAt) {
      return End::deadline;
    }
    if (bytesRead >= limits.maximumBytes) {
      return End::tooMuchOutput;
    }
    const auto wait = std::min<std::chrono::milliseconds>(
        limits.readinessWait, std::chrono::ceil<std::chrono::milliseconds>(stopAt - now));
    std::array<pollfd, 2> fds{{{.fd = child.output.get(), .events = POLLIN},
                               {.fd = hasOutbox() ? child.input.get() : -1, .events = POLLOUT}}};
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return End::closed;
    }
    if (fds[1].revents != 0) {
      flush();
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      if (ready == 0 && !child.running()) {
        return End::exited;  // gone, though a helper may still hold its output open
      }
      continue;
    }
    ssize_t count = -1;
    do {
      count = ::read(child.output.get(), chunk.data(), chunk.size());
    } while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;
    }
    if (count <= 0) {
      return End::closed;
    }
    const std::size_t scanFrom = buffer.size();
    buffer.append(chunk.data(), static_cast<std::size_t>(count));
    bytesRead += static_cast<std::size_t>(count);
    std::size_t lineStart = 0;
    for (std::size_t feed = buffer.find('\n', scanFrom); feed != std::string::npos;
         feed = buffer.find('\n', lineStart)) {
      auto parsed = Coding::parse(std::string_view(buffer).substr(lineStart, feed - lineStart));
      lineStart = feed + 1;
      if (parsed && onMessage(*parsed)) {
        return End::done;
      }
    }
    buffer.erase(0, lineStart);
  }
}

}  // namespace tarvel
