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
#include <iterator>
#include <memory>
#include <new>
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

// How long a worker waits for a connection accepted before its hook wrote.
constexpr int freshConnectionWaitMilliseconds = 2;

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
  bool seenUnfinished = false;  // a worker found it unfinished once already
  pid_t peer = 0;               // the process that connected, when asked for
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
    : UnixSocketServer(std::move(socketURL), maximumPayloadBytes,
                       PeerLineHandler([handler = std::move(lineHandler)](
                                           AgentEvent event, std::string_view line, pid_t) {
                         handler(std::move(event), line);
                       })) {
  wantsPeer = false;
}

UnixSocketServer::UnixSocketServer(std::filesystem::path socketURL,
                                   std::int64_t maximumPayloadBytes,
                                   PeerLineHandler peerLineHandler)
    : path(std::move(socketURL)),
      payloadLimit(std::max<std::int64_t>(maximumPayloadBytes, 1)),
      eventHandler(std::move(peerLineHandler)),
      wantsPeer(true),
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
  {
    const std::scoped_lock handBack(handBackLock);
    loopEnded = false;
  }
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

// The listener's thread only accepts and watches connections that have not finished sending;
// the workers read, close and decode. Reading a hook's connection takes three system calls
// (its bytes, end of stream, close), which would otherwise all fall on the one thread every
// hook passes through. A silent connection costs a descriptor slot here, never a thread.
void UnixSocketServer::serve(int listener, int wakeDescriptor) {
  std::vector<Connection> connections;  // waiting for bytes, watched with poll
  std::vector<Connection> kept;
  std::vector<Connection> ready;  // accepted, readable or timed out: for the workers
  std::vector<pollfd> polls;
  connections.reserve(maximumConnections);
  kept.reserve(maximumConnections);
  ready.reserve(maximumConnections);
  polls.reserve(maximumConnections + 2);
  Clock::time_point acceptResumes{};

  for (;;) {
    const Clock::time_point now = Clock::now();
    acceptPaused = connectionsFull();
    // Re-check after publishing the pause: a worker that closed a connection in between saw no
    // pause and sent no wake-up.
    if (acceptPaused && !connectionsFull()) {
      acceptPaused = false;
    }
    // At the connection cap further hooks wait in the listener's backlog (SOMAXCONN) until
    // an open connection ends: a hook that connected has been told its send succeeded, so
    // it is never accepted only to be closed unread.
    const bool accepting = now >= acceptResumes && !acceptPaused;
    Clock::time_point next = now < acceptResumes ? acceptResumes : Clock::time_point::max();
    polls.clear();
    polls.push_back(pollfd{.fd = wakeDescriptor, .events = POLLIN, .revents = 0});
    // A negative descriptor makes poll skip the entry.
    polls.push_back(pollfd{.fd = accepting ? listener : -1, .events = POLLIN, .revents = 0});
    for (const Connection& connection : connections) {
      polls.push_back(pollfd{.fd = connection.fd.get(), .events = POLLIN, .revents = 0});
      next = std::min(next, connection.deadline);
    }
    const int readyCount = ::poll(polls.data(), polls.size(), pollTimeout(now, next));
    if (readyCount < 0 && errno != EINTR) {
      // Only EINVAL or ENOMEM are possible here; back off rather than spin.
      ::usleep(10'000);
      continue;
    }

    if (stopping) {
      // Stopping: take what each connection has already sent, deliver it, end them all.
      // Hooks still waiting in the backlog have been told their send succeeded, so they are
      // taken in too rather than dropped with the listener. This thread reads them itself:
      // connections a worker hands back from now on are ended by that worker.
      for (;;) {
        UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd && errno == EINTR) {
          continue;
        }
        if (!fd) {
          break;
        }
        ++openConnections;
        ready.push_back(Connection{.fd = std::move(fd)});
      }
      std::move(connections.begin(), connections.end(), std::back_inserter(ready));
      {
        const std::scoped_lock lock(handBackLock);
        loopEnded = true;
        std::move(handedBack.begin(), handedBack.end(), std::back_inserter(ready));
        handedBack.clear();
      }
      for (Connection& connection : ready) {
        serveConnection(std::move(connection));
      }
      return;
    }

    const Clock::time_point afterPoll = Clock::now();
    kept.clear();
    for (std::size_t index = 0; index < connections.size(); ++index) {
      Connection& connection = connections[index];
      if (polls[index + 2].revents != 0 || afterPoll >= connection.deadline) {
        ready.push_back(std::move(connection));
      } else {
        kept.push_back(std::move(connection));
      }
    }
    std::swap(connections, kept);

    if (readyCount > 0 && polls[0].revents != 0) {
      wakePipe->drain();
      const std::scoped_lock lock(handBackLock);
      std::move(handedBack.begin(), handedBack.end(), std::back_inserter(connections));
      handedBack.clear();
    }
    if (readyCount > 0 && polls[1].revents != 0) {
      if (!acceptPending(listener, ready)) {
        acceptResumes = Clock::now() + acceptPause;
      }
    }
    dispatch(ready);
  }
}

bool UnixSocketServer::acceptPending(int listener, std::vector<Connection>& ready) {
  for (;;) {
    if (connectionsFull()) {
      return true;  // the rest waits in the backlog until a connection ends
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
    ++openConnections;
    pid_t peer = 0;
    if (wantsPeer) {
      ucred credentials{};
      socklen_t length = sizeof credentials;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
        peer = credentials.pid;
      }
    }
    ready.push_back(
        Connection{.fd = std::move(fd), .deadline = Clock::now() + receiveTimeout, .peer = peer});
  }
}

bool UnixSocketServer::connectionsFull() const {
  return openConnections.load() >= maximumConnections;
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

void UnixSocketServer::serveConnection(Connection connection) {
  try {
    // A hook has usually written and closed by the time it is accepted, so most connections
    // end here at the first read.
    bool ended = readAvailable(connection) || Clock::now() >= connection.deadline || stopping;
    if (!ended && !connection.seenUnfinished) {
      // Accepted the moment the hook connected, before it wrote: it writes within moments.
      // Waiting a little here is cheaper than the round through the loop and back, and a
      // silent connection costs a worker this wait only once.
      pollfd wait{.fd = connection.fd.get(), .events = POLLIN, .revents = 0};
      if (::poll(&wait, 1, freshConnectionWaitMilliseconds) > 0) {
        ended = readAvailable(connection) || stopping;
      }
    }
    if (!ended && handBack(connection)) {
      return;
    }
  } catch (const std::bad_alloc&) {
    // Out of memory: the connection ends, so that its slot is given back.
    connection.overLimit = true;
  }
  std::string payload;
  if (!connection.overLimit) {
    payload = std::move(connection.buffer);
  }
  connection.fd.reset();
  --openConnections;
  if (!payload.empty()) {
    deliver(payload, connection.peer);
  }
}

bool UnixSocketServer::handBack(Connection& connection) {
  std::unique_lock lock(handBackLock);
  if (loopEnded) {
    return false;  // stopping: the connection ends with what it sent
  }
  const bool wasEmpty = handedBack.empty();
  connection.seenUnfinished = true;
  handedBack.push_back(std::move(connection));
  lock.unlock();
  if (wasEmpty) {
    wakePipe->notify();
  }
  return true;
}

// Ready connections go to the workers in groups: in a burst, waking a worker for every hook
// would cost more than reading it, and groups of a few keep every worker busy.
void UnixSocketServer::dispatch(std::vector<Connection>& ready) {
  constexpr std::size_t groupSize = 16;
  for (std::size_t first = 0; first < ready.size(); first += groupSize) {
    auto group = std::make_shared<std::vector<Connection>>();
    const std::size_t last = std::min(ready.size(), first + groupSize);
    group->reserve(last - first);
    std::move(ready.begin() + static_cast<std::ptrdiff_t>(first),
              ready.begin() + static_cast<std::ptrdiff_t>(last), std::back_inserter(*group));
    clientsQueue.async([this, group] {
      for (Connection& connection : *group) {
        try {
          serveConnection(std::move(connection));
        } catch (...) {  // NOLINT(bugprone-empty-catch): allocation while delivering; the slot is free
        }
      }
      // Once per group rather than per connection: a loop paused at the cap resumes with a
      // group's worth of room instead of waking for every slot.
      if (acceptPaused && !connectionsFull() && acceptPaused.exchange(false)) {
        wakePipe->notify();
      }
    });
  }
  ready.clear();
}

void UnixSocketServer::deliver(const std::string& payload, pid_t peer) const {
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
      eventHandler(std::move(*decoded), line, peer);
    } catch (const std::exception& error) {
      logger.error("Event handler failed: %s", {Log::value(error.what())});
    } catch (...) {
      logger.error("Event handler failed: %s", {Log::value("unknown exception")});
    }
  }
}

}  // namespace tarvel
