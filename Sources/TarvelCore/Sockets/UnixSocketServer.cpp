#include "TarvelCore/Sockets/UnixSocketServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {
namespace {

using Clock = std::chrono::steady_clock;

const Log::Logger logger{"socket"};

// How long the loop stops accepting after running out of descriptors or memory, so that a
// listener that stays readable does not spin the loop.
constexpr auto acceptPause = std::chrono::milliseconds(100);

std::filesystem::path standardized(const std::filesystem::path& path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  return (error ? path : absolute).lexically_normal();
}

bool isSocketWithInode(const std::string& path, std::uint64_t inode) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
         static_cast<std::uint64_t>(status.st_ino) == inode;
}

int pollTimeout(Clock::time_point now, Clock::time_point next) {
  if (next == Clock::time_point::max()) {
    return -1;
  }
  if (next <= now) {
    return 0;
  }
  const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
  return static_cast<int>(std::min<std::int64_t>(milliseconds, INT_MAX));
}

// Decoding takes a few microseconds per line; more workers than cores only help when the
// handler blocks, and two keep one slow handler call from holding up everything else.
std::size_t decodingWorkers() {
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 4);
}

}  // namespace

struct UnixSocketServer::Connection {
  UniqueFd fd;
  std::string buffer;
  Clock::time_point deadline;  // when the receive timeout ends the connection
  bool overLimit = false;      // sent more than the payload limit: deliver nothing
};

UnixSocketServer::UnixSocketServer(std::filesystem::path socketURL,
                                   std::int64_t maximumPayloadBytes, EventHandler eventHandler)
    : UnixSocketServer(
          std::move(socketURL), maximumPayloadBytes,
          LineHandler([handler = std::move(eventHandler)](AgentEvent event, std::string_view) {
            handler(std::move(event));
          })) {}

UnixSocketServer::UnixSocketServer(std::filesystem::path socketURL,
                                   std::int64_t maximumPayloadBytes, LineHandler lineHandler)
    : path(std::move(socketURL)),
      payloadLimit(std::max<std::int64_t>(maximumPayloadBytes, 1)),
      eventHandler(std::move(lineHandler)),
      clientsQueue("com.tarvel.socket.clients", decodingWorkers()) {}

UnixSocketServer::~UnixSocketServer() { stop(); }

bool UnixSocketServer::isListening() const {
  const std::scoped_lock lock(lifecycle);
  return descriptor.valid();
}

std::optional<AgentSocketError> UnixSocketServer::start() {
  const std::scoped_lock lock(lifecycle);
  if (descriptor) {
    return std::nullopt;
  }
  const bool tightenDirectory =
      standardized(path) == standardized(AgentSocketLocation::defaultURL());
  auto listener = UnixSocketSupport::bindListener(path, tightenDirectory);
  if (!listener) {
    return listener.error();
  }
  UniqueFd fd = std::move(listener->descriptor);
  const std::uint64_t inode = listener->inode;
  const std::string socketPath = path.string();
  const auto fail = [&](AgentSocketError error) {
    fd.reset();
    if (isSocketWithInode(socketPath, inode) && !UnixSocketSupport::isPathAccepting(path)) {
      ::unlink(socketPath.c_str());
    }
    return error;
  };

  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(AgentSocketError::systemCall("fcntl", errno));
  }
  if (!wakePipe) {
    auto pipe = WakePipe::make();
    if (!pipe) {
      return fail(pipe.error());
    }
    wakePipe.emplace(std::move(pipe).value());
  }
  wakePipe->drain();
  stopping = false;
  try {
    listenerThread = LabeledThread("com.tarvel.socket.listener",
                                   [this, listening = fd.get(), wake = wakePipe->readDescriptor()] {
                                     serve(listening, wake);
                                   });
  } catch (const std::system_error& error) {
    return fail(AgentSocketError::systemCall("pthread_create", error.code().value()));
  }
  descriptor = std::move(fd);
  ownedInode = inode;
  logger.info("Event socket listening at %s", {Log::value(socketPath)});
  return std::nullopt;
}

void UnixSocketServer::stop() {
  {
    const std::scoped_lock lock(lifecycle);
    if (descriptor) {
      stopping = true;
      wakePipe->notify();
      listenerThread.join();
      descriptor.reset();
    }
    removeOwnSocketFile();
  }
  clientsQueue.waitUntilIdle();
}

void UnixSocketServer::removeOwnSocketFile() {
  if (!ownedInode) {
    return;
  }
  const std::string socketPath = path.string();
  // Under the listener lock a starter in another process cannot replace the file between the
  // inode check and the removal. Without the lock file the check is still made.
  const auto lock = UnixSocketSupport::ProcessFileLock::openAndLock(socketPath + ".lock");
  if (isSocketWithInode(socketPath, *ownedInode)) {
    ::unlink(socketPath.c_str());
  }
  ownedInode.reset();
}

// One loop serves the listener and every open connection with poll, so a silent connection
// costs a descriptor slot but never a thread, and never delays the others.
void UnixSocketServer::serve(int listener, int wakeDescriptor) {
  std::vector<Connection> connections;
  std::vector<Connection> kept;
  std::vector<pollfd> polls;
  std::vector<std::string> batch;
  connections.reserve(maximumConnections);
  kept.reserve(maximumConnections);
  polls.reserve(maximumConnections + 2);
  Clock::time_point acceptResumes{};

  for (;;) {
    const Clock::time_point now = Clock::now();
    acceptPaused = deliveriesFull();
    // Re-check after publishing the pause: a worker that finished in between saw no pause and
    // sent no wake-up.
    if (acceptPaused && !deliveriesFull()) {
      acceptPaused = false;
    }
    // At the connection cap further hooks wait in the listener's backlog (SOMAXCONN) until
    // an open connection ends: a hook that connected has been told its send succeeded, so
    // it is never accepted only to be closed unread.
    const bool accepting = now >= acceptResumes && !acceptPaused &&
                           connections.size() < maximumConnections;
    Clock::time_point next = now < acceptResumes ? acceptResumes : Clock::time_point::max();
    polls.clear();
    polls.push_back(pollfd{.fd = wakeDescriptor, .events = POLLIN, .revents = 0});
    // A negative descriptor makes poll skip the entry.
    polls.push_back(pollfd{.fd = accepting ? listener : -1, .events = POLLIN, .revents = 0});
    for (const Connection& connection : connections) {
      polls.push_back(pollfd{.fd = connection.fd.get(), .events = POLLIN, .revents = 0});
      next = std::min(next, connection.deadline);
    }
    const int ready = ::poll(polls.data(), polls.size(), pollTimeout(now, next));
    if (ready < 0 && errno != EINTR) {
      // Only EINVAL or ENOMEM are possible here; back off rather than spin.
      ::usleep(10'000);
      continue;
    }

    if (ready > 0 && polls[0].revents != 0) {
      wakePipe->drain();
    }
    if (stopping) {
      // Stopping: take what each connection has already sent, deliver it, end them all.
      // Hooks still waiting in the backlog have been told their send succeeded, so they are
      // taken in too rather than dropped with the listener.
      for (;;) {
        UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd && errno == EINTR) {
          continue;
        }
        if (!fd) {
          break;
        }
        connections.push_back(Connection{.fd = std::move(fd)});
      }
      for (Connection& connection : connections) {
        readAvailable(connection);
        ::shutdown(connection.fd.get(), SHUT_RDWR);
        finish(std::move(connection), batch);
      }
      dispatch(batch);
      return;
    }

    const Clock::time_point afterPoll = Clock::now();
    kept.clear();
    for (std::size_t index = 0; index < connections.size(); ++index) {
      Connection& connection = connections[index];
      const bool ended = (polls[index + 2].revents != 0 && readAvailable(connection)) ||
                         afterPoll >= connection.deadline;
      if (ended) {
        finish(std::move(connection), batch);
      } else {
        kept.push_back(std::move(connection));
      }
    }
    std::swap(connections, kept);

    if (ready > 0 && polls[1].revents != 0) {
      if (!acceptPending(listener, connections, batch)) {
        acceptResumes = Clock::now() + acceptPause;
      }
    }
    dispatch(batch);
  }
}

bool UnixSocketServer::acceptPending(int listener, std::vector<Connection>& connections,
                                     std::vector<std::string>& batch) {
  for (;;) {
    if (deliveriesFull() || connections.size() >= maximumConnections) {
      return true;  // the rest waits in the backlog until the workers or a connection catch up
    }
    UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) {
      switch (errno) {
        case EINTR:
        case ECONNABORTED:
          continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
          return false;
        default:
          return true;  // normally EAGAIN: the backlog is empty
      }
    }
    Connection connection{.fd = std::move(fd), .deadline = Clock::now() + receiveTimeout};
    // A hook usually has written and closed by the time it is accepted: read at once and
    // save the loop a round through poll.
    if (readAvailable(connection)) {
      finish(std::move(connection), batch);
    } else {
      connections.push_back(std::move(connection));
    }
  }
}

bool UnixSocketServer::deliveriesFull() const {
  return pendingDeliveries.load() >= maximumPendingDeliveries ||
         pendingBytes.load() >= maximumConnections * static_cast<std::uint64_t>(payloadLimit);
}

bool UnixSocketServer::readAvailable(Connection& connection) const {
  // Left uninitialised: read() fills what is used, and clearing 8 KiB per call costs more than
  // the read itself for a small event.
  std::array<char, readBlockBytes> block;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (;;) {
    const ssize_t count = ::read(connection.fd.get(), block.data(), block.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return false;
    }
    if (count <= 0) {
      return true;  // end of stream, or a connection error
    }
    const auto received = static_cast<std::size_t>(count);
    if (connection.buffer.size() + received > static_cast<std::uint64_t>(payloadLimit)) {
      connection.overLimit = true;
      std::string().swap(connection.buffer);
      return true;
    }
    connection.buffer.append(block.data(), received);
    connection.deadline = Clock::now() + receiveTimeout;
  }
}

void UnixSocketServer::finish(Connection connection, std::vector<std::string>& batch) {
  connection.fd.reset();
  if (connection.overLimit || connection.buffer.empty()) {
    return;
  }
  // Payloads waiting for a worker are bounded too (see pendingDeliveries), so memory stays
  // within twice maximumConnections * maximumPayloadBytes.
  ++pendingDeliveries;
  pendingBytes += connection.buffer.size();
  batch.push_back(std::move(connection.buffer));
}

// One task per round of the loop: in a burst, waking a worker for every hook would cost more
// than decoding its event.
void UnixSocketServer::dispatch(std::vector<std::string>& batch) {
  if (batch.empty()) {
    return;
  }
  clientsQueue.async([this, payloads = std::move(batch)] {
    for (const std::string& payload : payloads) {
      try {
        deliver(payload);
      } catch (...) {  // NOLINT(bugprone-empty-catch): only allocation; the count must still drop
      }
      pendingBytes -= payload.size();
      --pendingDeliveries;
      if (acceptPaused && !deliveriesFull()) {
        acceptPaused = false;
        wakePipe->notify();
      }
    }
  });
  batch = {};
  batch.reserve(maximumConnections);
}

void UnixSocketServer::deliver(const std::string& payload) const {
  std::string_view rest = payload;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty()) {
      continue;
    }
    auto decoded = decodeEventLine(line);
    if (!decoded) {
      logger.error(
          "Dropped malformed event payload (%ld bytes): %s",
          {Log::value(static_cast<long>(line.size())), Log::value(decoded.error().description)});
      continue;
    }
    try {
      eventHandler(std::move(*decoded), line);
    } catch (const std::exception& error) {
      logger.error("Event handler failed: %s", {Log::value(error.what())});
    } catch (...) {
      logger.error("Event handler failed: %s", {Log::value("unknown exception")});
    }
  }
}

}  // namespace tarvel
