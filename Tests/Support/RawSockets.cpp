#include "Support/RawSockets.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

namespace tarvel::Testing {

namespace {

// The address of the Unix socket `path`; false when the path does not fit.
bool unixAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) {
    return false;
  }
  text.copy(address.sun_path, text.size());
  return true;
}

}  // namespace

void setTimeouts(int descriptor, std::chrono::milliseconds limit) {
  const timeval value{.tv_sec = static_cast<time_t>(limit.count() / 1000),
                      .tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000)};
  ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

UniqueFd connectTo(const std::filesystem::path& path, std::chrono::milliseconds limit) {
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  if (!socket || !unixAddress(path, address)) {
    return UniqueFd();
  }
  setTimeouts(socket.get(), limit);
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return socket;
}

UniqueFd connectTo(std::uint16_t port, std::chrono::milliseconds limit) {
  UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    return UniqueFd();
  }
  setTimeouts(socket.get(), limit);
  const sockaddr_in address{
      .sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}};
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return socket;
}

UniqueFd listenAt(const std::filesystem::path& path, int backlog) {
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::filesystem::remove(path, ignored);
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  if (!socket || !unixAddress(path, address) ||
      ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.get(), backlog) != 0) {
    return UniqueFd();
  }
  return socket;
}

bool sendAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

std::optional<std::string> readLine(int descriptor) {
  std::string line;
  char byte = 0;
  while (::read(descriptor, &byte, 1) == 1) {
    line.push_back(byte);
    if (byte == '\n') {
      return line;
    }
  }
  return std::nullopt;
}

std::string readToEnd(int descriptor, bool* endedCleanly) {
  std::string bytes;
  char chunk[4096];
  while (true) {
    const ssize_t count = ::read(descriptor, chunk, sizeof chunk);
    if (count <= 0) {
      if (endedCleanly != nullptr) {
        *endedCleanly = count == 0 || errno == ECONNRESET;
      }
      return bytes;
    }
    bytes.append(chunk, static_cast<std::size_t>(count));
  }
}

}  // namespace tarvel::Testing
