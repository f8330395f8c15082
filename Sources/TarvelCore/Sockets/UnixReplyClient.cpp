#include "TarvelCore/Sockets/UnixReplyClient.hpp"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <string>

#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel::UnixReplyClient {

namespace {

constexpr std::int64_t handshakeSeconds = 2;
// Beyond this the kernel treats a receive time-out as "wait forever" anyway.
constexpr std::int64_t longestTimeoutSeconds = std::int64_t{365} * 24 * 3600;

bool setTimeout(int descriptor, int option, std::int64_t seconds) {
  const timeval value{.tv_sec = static_cast<time_t>(seconds), .tv_usec = 0};
  return ::setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value) == 0;
}

// Reads one byte per call until a line feed, so nothing past the line is consumed. Absent when
// `limit` bytes gather without a line feed, or a read ends the stream or fails (time-out included).
std::optional<std::string> readLine(int descriptor, std::size_t limit) {
  std::string line;
  while (true) {
    char byte = 0;
    const ssize_t count = ::read(descriptor, &byte, 1);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return std::nullopt;
    }
    if (byte == '\n') {
      return line;
    }
    if (line.size() >= limit) {
      return std::nullopt;
    }
    line.push_back(byte);
  }
}

std::optional<AgentReply> exchange(const UUID& id, const std::filesystem::path& socketURL,
                                   std::int64_t timeoutSeconds,
                                   const std::function<bool()>& afterRegistration) {
  const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    return std::nullopt;
  }
  if (!setTimeout(socket.get(), SO_SNDTIMEO, handshakeSeconds) ||
      !setTimeout(socket.get(), SO_RCVTIMEO, handshakeSeconds)) {
    return std::nullopt;
  }
  const std::string path = socketURL.string();
  auto address = UnixSocketSupport::makeAddress(path);
  if (!address) {
    return std::nullopt;
  }
  if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&*address),
                UnixSocketSupport::addressLength(path)) != 0) {
    return std::nullopt;
  }
  if (!writeLine(toJSON(AgentReplyHello{.replyId = id, .timeoutSeconds = timeoutSeconds}),
                 socket.get())) {
    return std::nullopt;
  }

  const auto acknowledgementLine = readLine(socket.get(), maximumAcknowledgementBytes);
  if (!acknowledgementLine) {
    return std::nullopt;
  }
  const auto acknowledgement = decodeJSONText<AgentReplyAcknowledgement>(*acknowledgementLine);
  if (!acknowledgement || !acknowledgement->registered) {
    return std::nullopt;
  }
  if (afterRegistration && !afterRegistration()) {
    return std::nullopt;  // closing the socket withdraws the registration
  }

  const std::int64_t seconds =
      timeoutSeconds < 1 ? 1 : std::min(timeoutSeconds, longestTimeoutSeconds);
  if (!setTimeout(socket.get(), SO_RCVTIMEO, seconds)) {
    return std::nullopt;
  }
  const auto replyLine = readLine(socket.get(), maximumReplyBytes);
  if (!replyLine) {
    return std::nullopt;
  }
  auto reply = decodeJSONText<AgentReply>(*replyLine);
  // An answer addressed to another prompt must never decide this one.
  if (!reply || reply->replyId != id) {
    return std::nullopt;
  }
  return std::move(*reply);
}

}  // namespace

std::optional<AgentReply> awaitReply(const UUID& id, const std::filesystem::path& socketURL,
                                     std::int64_t timeoutSeconds,
                                     const std::function<bool()>& afterRegistration) {
  try {
    return exchange(id, socketURL, timeoutSeconds, afterRegistration);
  } catch (...) {
    // The hook goes on without an answer whatever went wrong (allocation, the callback).
    return std::nullopt;
  }
}

bool writeLine(const Json& value, int descriptor) {
  std::string line;
  try {
    line = Coding::encode(value);
  } catch (...) {
    return false;
  }
  line.push_back('\n');
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t count =
        ::send(descriptor, line.data() + written, line.size() - written, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    written += static_cast<std::size_t>(count);
  }
  return true;
}

}  // namespace tarvel::UnixReplyClient
