#include "TarvelCore/Sockets/UnixSocketClient.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <string>

#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel::UnixSocketClient {

std::optional<AgentSocketError> send(const AgentEvent& event,
                                     const std::filesystem::path& socketURL) {
  return sendBytes(encodeEventLine(event), socketURL);
}

namespace {

struct SendAttempt {
  std::optional<AgentSocketError> error;
  bool nothingWritten = false;  // the connection ended before the server took a byte
};

SendAttempt sendOverOneConnection(std::string_view bytes, const std::filesystem::path& socketURL) {
  const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    return {AgentSocketError::systemCall("socket", errno)};
  }
  // On Linux the send limit also bounds a connect that waits on a full backlog.
  const timeval limit{.tv_sec = 0, .tv_usec = 250'000};
  ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));

  const std::string path = socketURL.string();
  const auto address = UnixSocketSupport::makeAddress(path);
  if (!address) {
    return {address.error()};
  }
  int connected = 0;
  do {
    connected = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address),
                          UnixSocketSupport::addressLength(path));
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) {
    return {AgentSocketError::systemCall("connect", errno)};
  }
  // What an agent does is told only to a display of this user.
  if (!UnixSocketSupport::isPeerThisUser(socket.get())) {
    return {AgentSocketError::foreignOwner(path,
                                           UnixSocketSupport::peerUser(socket.get()).value_or(0))};
  }

  std::size_t offset = 0;
  while (offset < bytes.size()) {
    const ssize_t written =
        ::send(socket.get(), bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 1) {
      const int error = written < 0 ? errno : EPIPE;
      return {AgentSocketError::systemCall("write", error),
              offset == 0 && (error == EPIPE || error == ECONNRESET)};
    }
    offset += static_cast<std::size_t>(written);
  }
  return {};
}

}  // namespace

std::optional<AgentSocketError> sendBytes(std::string_view bytes,
                                          const std::filesystem::path& socketURL) {
  // A server ends a connection that stays silent past its receive timeout; a sender kept off the
  // processor between connect and write (a burst of hooks on a busy machine) finds it closed.
  // Nothing reached the server then, so one more connection cannot deliver the bytes twice.
  SendAttempt attempt = sendOverOneConnection(bytes, socketURL);
  if (attempt.error && attempt.nothingWritten) {
    attempt = sendOverOneConnection(bytes, socketURL);
  }
  return attempt.error;
}

}  // namespace tarvel::UnixSocketClient
