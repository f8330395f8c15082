#include "TarvelCore/Sockets/UnixReplyClient.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>
#include <string>

#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel::UnixReplyClient {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds handshakeLimit{2};
// Beyond this the wait is as good as for ever; it also keeps the deadline's arithmetic in range.
constexpr std::int64_t longestTimeoutSeconds = std::int64_t{365} * 24 * 3600;

bool setTimeout(int descriptor, int option, std::chrono::seconds limit) {
  const timeval value{.tv_sec = static_cast<time_t>(limit.count()), .tv_usec = 0};
  return ::setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value) == 0;
}

// How often a waiting hook looks at its parent when nothing wakes it.
constexpr int watchIntervalMilliseconds = 500;

// Reads one byte per call until a line feed, so nothing past the line is consumed. Absent when
// `limit` bytes gather without a line feed, a read ends the stream or fails, `deadline` passes
// (one deadline for the whole line, so a peer that trickles bytes cannot stretch it), or `watch`
// tells that the agent is gone.
std::optional<std::string> readLine(int descriptor, std::size_t limit, Clock::time_point deadline,
                                    AgentWatch watch = {}) {
  std::string line;
  while (true) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return std::nullopt;
    }
    if (watch.parent > 0 && ::getppid() != watch.parent) {
      return std::nullopt;
    }
    // Asked for no event, the output still reports a hang-up or an error.
    pollfd entries[2] = {{.fd = descriptor, .events = POLLIN, .revents = 0},
                         {.fd = watch.output, .events = 0, .revents = 0}};
    const std::int64_t longest = watch.parent > 0 ? watchIntervalMilliseconds : 60'000;
    const int ready = ::poll(entries, watch.output >= 0 ? 2 : 1,
                             static_cast<int>(std::min<std::int64_t>(left.count(), longest)));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready < 0) {
      return std::nullopt;
    }
    if ((entries[1].revents & (POLLHUP | POLLERR)) != 0) {
      return std::nullopt;
    }
    if ((entries[1].revents & POLLNVAL) != 0) {
      watch.output = -1;  // no output to watch
    }
    if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
      continue;  // the deadline and the parent are checked again above
    }
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
                                   const std::function<bool()>& afterRegistration,
                                   AgentWatch watch) {
  // The whole wait, from connecting to the answer, ends at one deadline.
  const auto deadline =
      Clock::now() + std::chrono::seconds(std::clamp<std::int64_t>(timeoutSeconds, 1,
                                                                    longestTimeoutSeconds));
  const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) {
    return std::nullopt;
  }
  if (!setTimeout(socket.get(), SO_SNDTIMEO, handshakeLimit) ||
      !setTimeout(socket.get(), SO_RCVTIMEO, handshakeLimit)) {
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
  // An answer decides what the agent may do: only a display of this user may give it.
  if (!UnixSocketSupport::isPeerThisUser(socket.get())) {
    return std::nullopt;
  }
  if (!writeLine(toJSON(AgentReplyHello{
                     .replyId = id, .timeoutSeconds = timeoutSeconds, .confirmsReceipt = true}),
                 socket.get())) {
    return std::nullopt;
  }

  // Many waiting hooks may keep the server from taking this one in at once: it waits in the
  // listener's backlog, for as long as its whole wait and while its agent lives.
  const auto acknowledgementLine =
      readLine(socket.get(), maximumAcknowledgementBytes, deadline, watch);
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

  const auto replyLine = readLine(socket.get(), maximumReplyBytes, deadline, watch);
  if (!replyLine) {
    return std::nullopt;
  }
  auto reply = decodeJSONText<AgentReply>(*replyLine);
  // An answer addressed to another prompt must never decide this one.
  if (!reply || reply->replyId != id) {
    return std::nullopt;
  }
  // A display that asked counts the answer as delivered only once it has this receipt. The
  // answer is the hook's all the same: a display that did not ask may have closed already, and
  // one that asked learns of a failed send by the missing receipt.
  if (acknowledgement->wantsReceipt.value_or(false)) {
    const std::string_view receipt = receiptLine;
    [[maybe_unused]] const ssize_t sent =
        ::send(socket.get(), receipt.data(), receipt.size(), MSG_NOSIGNAL);
  }
  return std::move(*reply);
}

}  // namespace

std::optional<AgentReply> awaitReply(const UUID& id, const std::filesystem::path& socketURL,
                                     std::int64_t timeoutSeconds,
                                     const std::function<bool()>& afterRegistration,
                                     AgentWatch watch) {
  try {
    return exchange(id, socketURL, timeoutSeconds, afterRegistration, watch);
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
