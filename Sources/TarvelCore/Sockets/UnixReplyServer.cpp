#include "TarvelCore/Sockets/UnixReplyServer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/UnixReplyClient.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel {

namespace {

// Full labels; Linux thread names hold 15 bytes, so threads carry shortened forms.
constexpr const char* listenerLabel = "com.tarvel.reply.listener";
constexpr const char* clientsLabel = "com.tarvel.reply.clients";
constexpr const char* listenerThreadName = "tarvel.reply.l";
constexpr const char* clientThreadName = "tarvel.reply.c";

// A reply is small; a hook that stops reading must not hold submit() for long.
constexpr std::chrono::milliseconds sendTimeout{2000};
// How long submit() waits for a hook's receipt; a hook confirms at once when it reads the answer.
constexpr std::chrono::milliseconds receiptTimeout{5000};

const Log::Logger& socketLog() {
  static const Log::Logger logger("socket");
  return logger;
}

void setTimeout(int descriptor, int option, std::chrono::milliseconds limit) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(limit).count();
  const timeval value{.tv_sec = static_cast<time_t>(micros / 1000000),
                      .tv_usec = static_cast<suseconds_t>(micros % 1000000)};
  ::setsockopt(descriptor, SOL_SOCKET, option, &value, sizeof value);
}

}  // namespace

// In a named namespace: the server's State, a type with linkage, holds connections.
namespace replyServer {

// One accepted connection. Shared between the maps of the server and the thread that serves it,
// so that the descriptor is closed only after every user is done with it: a descriptor number is
// never reused while some thread may still read from it. Other threads end a connection with
// shutdown(), which wakes a blocked read.
struct Connection {
  UniqueFd socket;
  // Set at registration, under the server's lock.
  Date registeredAt{};
  Date expiresAt{};
  // Serialises the acknowledgement and the reply, so that a submit() racing a registration can
  // never put its reply line before the acknowledgement.
  std::mutex writeLock;
  // Whether the acknowledgement asked for the hook's receipt: exactly when its hello offered one.
  // Set before registration; read-only afterwards.
  bool wantsReceipt = false;
  // The thread serving the connection; set before anything else can see the connection's hello.
  std::thread::id worker;
  // The host it came from through its link; set by its worker under the server's lock.
  std::optional<std::string> host;

  // The hand-over between submit() and the worker watching the connection. `receiptLock` guards
  // the three fields; `receiptChanged` is signalled when `watching` turns false.
  std::mutex receiptLock;
  std::condition_variable receiptChanged;
  bool watching = true;   // the worker still reads the connection
  bool answered = false;  // submit() took it and writes (or wrote) the reply
  bool receiptRead = false;

  void shutDown() const { ::shutdown(socket.get(), SHUT_RDWR); }
};
using ConnectionRef = std::shared_ptr<Connection>;

}  // namespace replyServer

using replyServer::Connection;
using replyServer::ConnectionRef;

namespace {

void nameThisThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

// Joins every thread but the calling one, which is detached instead; empties `threads`.
void joinAll(std::vector<std::thread>& threads) {
  const auto self = std::this_thread::get_id();
  for (auto& thread : threads) {
    if (thread.get_id() == self) {
      thread.detach();
    } else if (thread.joinable()) {
      thread.join();
    }
  }
  threads.clear();
}

// Whether `start` and what follows it on `socket` make the hook's receipt line.
bool isReceipt(int socket, std::string receipt) {
  while (!receipt.ends_with('\n') && receipt.size() < UnixReplyClient::receiptLine.size()) {
    char byte = 0;
    const ssize_t count = ::read(socket, &byte, 1);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count != 1) {
      break;
    }
    receipt.push_back(byte);
  }
  return receipt == UnixReplyClient::receiptLine;
}

bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

struct UnixReplyServer::State : std::enable_shared_from_this<State> {
  std::filesystem::path socketURL;
  PendingChanged pendingChanged;
  Limits limits;
  HostOf hostOf;  // set before start()
  std::string listenerQueueLabel = listenerLabel;
  std::string clientsQueueLabel = clientsLabel;

  mutable std::mutex lock;
  // Guarded by `lock`:
  UniqueFd descriptor;
  std::thread listener;
  UniqueFd wakeupRead;
  UniqueFd wakeupWrite;
  std::optional<std::uint64_t> ownedInode;
  std::map<UUID, ConnectionRef> pending;
  std::set<ConnectionRef> clients;
  std::list<std::thread> workers;     // threads serving connections
  std::vector<std::thread> finished;  // workers that have ended and wait to be joined
  bool stopping = false;
  // Told when a worker ends (its connection has left `clients`) and when the server stops: the
  // accept loop waits on it while `clients` is full.
  std::condition_variable slotFreed;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  // Only reached after stop(), or when a detached worker lets go last; nothing may be joinable
  // then, but a stray thread is detached rather than terminating the process.
  ~State() {
    for (auto& thread : workers) {
      if (thread.joinable()) {
        thread.detach();
      }
    }
    for (auto& thread : finished) {
      if (thread.joinable()) {
        thread.detach();
      }
    }
    if (listener.joinable()) {
      listener.detach();
    }
  }

  std::set<UUID> snapshotLocked() const {
    std::set<UUID> keys;
    for (const auto& entry : pending) {
      keys.insert(entry.first);
    }
    return keys;
  }

  std::set<UUID> snapshot() const {
    const std::scoped_lock guard(lock);
    return snapshotLocked();
  }

  void notify(const std::set<UUID>& keys) const {
    if (!pendingChanged) {
      return;
    }
    try {
      pendingChanged(keys);
    } catch (...) {
      // A throwing callback must not take a server thread, and the process, down with it.
      socketLog().error("Reply pendingChanged callback threw");
    }
  }

  // Forgets a connection that never registered. Closing happens when the last user lets go.
  void forget(const ConnectionRef& connection) {
    const std::scoped_lock guard(lock);
    clients.erase(connection);
  }

  void dropIfStillPending(const UUID& replyId, const ConnectionRef& connection) {
    std::set<UUID> keys;
    {
      const std::scoped_lock guard(lock);
      const auto it = pending.find(replyId);
      if (it == pending.end() || it->second != connection) {
        return;  // answered or displaced meanwhile
      }
      pending.erase(it);
      clients.erase(connection);
      keys = snapshotLocked();
    }
    connection->shutDown();
    notify(keys);
  }

  // Whether the host of the connection (when it has one) is within its share; one beyond it is
  // refused and forgotten.
  bool admitHost(const ConnectionRef& connection);
  void acceptLoop();
  void serve(const ConnectionRef& connection);
  void startWorker(ConnectionRef connection);
  void workerEnded();
};

bool UnixReplyServer::State::admitHost(const ConnectionRef& connection) {
  if (!hostOf) {
    return true;
  }
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(connection->socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      credentials.pid <= 0) {
    return true;
  }
  std::optional<std::string> host;
  try {
    host = hostOf(credentials.pid);
  } catch (...) {
    socketLog().error("Reply hostOf callback threw");
  }
  if (!host) {
    return true;
  }
  {
    const std::scoped_lock guard(lock);
    const auto taken = static_cast<std::size_t>(
        std::count_if(clients.begin(), clients.end(),
                      [&](const ConnectionRef& other) { return other->host == host; }));
    if (taken < limits.hostShare) {
      connection->host = std::move(host);
      return true;
    }
  }
  socketLog().info("Refused a hook of %s: the host has its share of %ld waiting hooks",
                   {Log::value(*host), Log::value(static_cast<long>(limits.hostShare))});
  static_cast<void>(UnixReplyClient::writeLine(toJSON(AgentReplyAcknowledgement{.registered = false}),
                                               connection->socket.get()));
  forget(connection);
  return false;
}

void UnixReplyServer::State::acceptLoop() {
  while (true) {
    int listening = -1;
    int wakeup = -1;
    std::vector<std::thread> toJoin;
    {
      // At the cap further hooks wait in the listener's backlog (SOMAXCONN) until a connection
      // ends, rather than being accepted and closed unread.
      std::unique_lock guard(lock);
      slotFreed.wait(guard, [&] { return stopping || clients.size() < limits.connections; });
      if (stopping) {
        return;
      }
      listening = descriptor.get();
      wakeup = wakeupRead.get();
      toJoin.swap(finished);
    }
    for (auto& thread : toJoin) {
      thread.join();
    }
    if (listening < 0 || wakeup < 0) {
      return;
    }
    pollfd entries[2] = {{.fd = listening, .events = POLLIN, .revents = 0},
                         {.fd = wakeup, .events = POLLIN, .revents = 0}};
    const int ready = ::poll(entries, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    if (entries[1].revents != 0) {
      return;
    }
    if ((entries[0].revents & POLLIN) == 0) {
      continue;
    }
    UniqueFd accepted(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED || error == EAGAIN) {
        continue;
      }
      if (isResourceShortage(error)) {
        // Out of descriptors for now: the pending connection stays queued, so pause instead of
        // spinning, and keep serving rather than ending the loop for good.
        pollfd wake{.fd = wakeup, .events = POLLIN, .revents = 0};
        if (::poll(&wake, 1, 100) > 0) {
          return;
        }
        continue;
      }
      return;
    }
    setTimeout(accepted.get(), SO_RCVTIMEO, limits.helloTimeout);
    setTimeout(accepted.get(), SO_SNDTIMEO, sendTimeout);
    auto connection = std::make_shared<Connection>();
    connection->socket = std::move(accepted);

    const std::scoped_lock guard(lock);
    clients.insert(connection);
    startWorker(std::move(connection));
  }
}

// Called with `lock` held. The new thread cannot reach workerEnded() (which takes the lock) before
// its std::thread is in `workers`.
void UnixReplyServer::State::startWorker(ConnectionRef connection) {
  try {
    workers.emplace_back([self = shared_from_this(), connection] {
      nameThisThread(clientThreadName);
      self->serve(connection);
      self->workerEnded();
    });
  } catch (const std::system_error&) {
    // No thread to serve it: the connection is closed.
    clients.erase(connection);
  }
}

// Moves the calling worker to `finished` and joins the workers that ended before it, so that at
// most one ended thread waits to be joined at any time.
void UnixReplyServer::State::workerEnded() {
  std::vector<std::thread> toJoin;
  {
    const std::scoped_lock guard(lock);
    toJoin.swap(finished);
    const auto self = std::this_thread::get_id();
    const auto it = std::find_if(workers.begin(), workers.end(), [&](const std::thread& thread) {
      return thread.get_id() == self;
    });
    if (it != workers.end()) {
      finished.push_back(std::move(*it));
      workers.erase(it);
    }
  }
  slotFreed.notify_all();
  for (auto& thread : toJoin) {
    thread.join();
  }
}

void UnixReplyServer::State::serve(const ConnectionRef& connection) {
  const int socket = connection->socket.get();
  connection->worker = std::this_thread::get_id();
  if (!admitHost(connection)) {
    return;
  }

  // The hello: read until a line feed, giving up on silence, end of stream or an overlong line.
  std::string buffer;
  while (buffer.find('\n') == std::string::npos && buffer.size() <= maximumHelloBytes) {
    char chunk[1024];
    const ssize_t count = ::read(socket, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      forget(connection);
      return;
    }
    buffer.append(chunk, static_cast<std::size_t>(count));
  }
  const std::string_view line = std::string_view(buffer).substr(0, buffer.find('\n'));
  const auto hello = decodeJSONText<AgentReplyHello>(line);
  if (!hello) {
    socketLog().error("Rejected malformed reply hello (%ld bytes)",
                      {Log::value(static_cast<long>(line.size()))});
    forget(connection);
    return;
  }
  const UUID replyId = hello->replyId;
  setTimeout(socket, SO_RCVTIMEO, limits.registrationTimeout);
  // The hook gives up after its own wait (when it says so), and the server after its limit.
  auto wait = std::chrono::duration_cast<std::chrono::microseconds>(limits.registrationTimeout);
  if (hello->timeoutSeconds && *hello->timeoutSeconds > 0) {
    wait = std::min(wait, std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::seconds(*hello->timeoutSeconds)));
  }
  const Date registeredAt = Dates::now();

  bool acknowledged = false;
  {
    // Held until the acknowledgement is out, so a concurrent submit() writes after it.
    const std::scoped_lock writeGuard(connection->writeLock);
    ConnectionRef displaced;
    {
      const std::scoped_lock guard(lock);
      if (clients.count(connection) == 0) {
        return;  // the server stopped meanwhile
      }
      connection->registeredAt = registeredAt;
      connection->wantsReceipt = hello->confirmsReceipt.value_or(false);
      connection->expiresAt = registeredAt + wait;
      auto& slot = pending[replyId];
      displaced = std::exchange(slot, connection);
      if (displaced) {
        clients.erase(displaced);
      }
    }
    if (displaced) {
      displaced->shutDown();
    }
    // A hook that offers a receipt is asked for it; one that does not gets the plain line.
    const AgentReplyAcknowledgement acknowledgement{
        .registered = true,
        .wantsReceipt = connection->wantsReceipt ? std::optional(true) : std::nullopt};
    acknowledged = UnixReplyClient::writeLine(toJSON(acknowledgement), socket);
  }
  if (!acknowledged) {
    dropIfStillPending(replyId, connection);
    return;
  }
  notify(snapshot());

  // Watch: before its answer the hook sends nothing more, so any byte, end of stream, error or
  // the time-out means it has given up (or submit() / stop() shut the connection down). Once
  // submit() has answered, the bytes are the hook's receipt.
  char byte = 0;
  ssize_t count = 0;
  do {
    count = ::read(socket, &byte, 1);
  } while (count < 0 && errno == EINTR);
  bool answered = false;
  {
    const std::scoped_lock guard(connection->receiptLock);
    answered = connection->answered;
    if (!answered) {
      connection->watching = false;
    }
  }
  if (!answered) {
    dropIfStillPending(replyId, connection);
    return;
  }
  const bool receiptRead = count == 1 && isReceipt(socket, std::string(1, byte));
  {
    const std::scoped_lock guard(connection->receiptLock);
    connection->receiptRead = receiptRead;
    connection->watching = false;
  }
  connection->receiptChanged.notify_all();
}

UnixReplyServer::UnixReplyServer(std::filesystem::path socketURL, PendingChanged pendingChanged,
                                 Limits limits)
    : state(std::make_shared<State>()) {
  state->socketURL = std::move(socketURL);
  state->pendingChanged = std::move(pendingChanged);
  state->limits = limits;
}

UnixReplyServer::UnixReplyServer(std::filesystem::path socketURL, PendingChanged pendingChanged)
    : UnixReplyServer(std::move(socketURL), std::move(pendingChanged), Limits{}) {}

UnixReplyServer::~UnixReplyServer() { stop(); }

const std::filesystem::path& UnixReplyServer::socketURL() const { return state->socketURL; }

void UnixReplyServer::setHostOf(HostOf hostOf) { state->hostOf = std::move(hostOf); }

std::optional<AgentSocketError> UnixReplyServer::start() {
  State& s = *state;
  {
    const std::scoped_lock guard(s.lock);
    if (s.descriptor) {
      return std::nullopt;
    }
  }
  const bool tighten =
      s.socketURL.lexically_normal() == AgentReplySocketLocation::defaultURL().lexically_normal();
  auto listener = UnixSocketSupport::bindListener(s.socketURL, tighten);
  if (!listener) {
    return listener.error();
  }
  int pipeEnds[2] = {-1, -1};
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    const int error = errno;
    listener->descriptor.reset();
    if (!UnixSocketSupport::isPathAccepting(s.socketURL)) {
      ::unlink(s.socketURL.c_str());
    }
    return AgentSocketError::systemCall("pipe", error);
  }
  {
    const std::scoped_lock guard(s.lock);
    s.descriptor = std::move(listener->descriptor);
    s.ownedInode = listener->inode;
    s.wakeupRead.reset(pipeEnds[0]);
    s.wakeupWrite.reset(pipeEnds[1]);
    s.stopping = false;
    try {
      s.listener = std::thread([self = state] {
        nameThisThread(listenerThreadName);
        self->acceptLoop();
      });
    } catch (const std::system_error& error) {
      s.descriptor.reset();
      s.wakeupRead.reset();
      s.wakeupWrite.reset();
      s.ownedInode.reset();
      ::unlink(s.socketURL.c_str());
      return AgentSocketError::systemCall("thread", error.code().value());
    }
  }
  socketLog().info("Reply socket listening at %s", {Log::value(s.socketURL.string())});
  return std::nullopt;
}

void UnixReplyServer::stop() {
  State& s = *state;
  std::thread listener;
  UniqueFd listening;
  std::optional<std::uint64_t> inode;
  {
    const std::scoped_lock guard(s.lock);
    if (!s.descriptor && !s.listener.joinable()) {
      return;
    }
    listener = std::move(s.listener);
    inode = std::exchange(s.ownedInode, std::nullopt);
    if (s.wakeupWrite) {
      const char byte = 1;
      [[maybe_unused]] const ssize_t ignored = ::write(s.wakeupWrite.get(), &byte, 1);
    }
    s.stopping = true;
  }
  s.slotFreed.notify_all();
  // The accept loop ends on the wake-up byte; only then is the listening descriptor closed, so
  // that its poll never sees a recycled descriptor number.
  if (listener.joinable()) {
    listener.join();
  }

  std::set<ConnectionRef> clients;
  std::map<UUID, ConnectionRef> pending;
  std::list<std::thread> workers;
  std::vector<std::thread> finished;
  {
    const std::scoped_lock guard(s.lock);
    listening = std::move(s.descriptor);
    s.wakeupRead.reset();
    s.wakeupWrite.reset();
    clients.swap(s.clients);
    pending.swap(s.pending);
    workers.swap(s.workers);
    finished.swap(s.finished);
  }
  listening.reset();
  const bool hadPending = !pending.empty();
  for (const auto& connection : clients) {
    connection->shutDown();
  }
  for (const auto& entry : pending) {
    entry.second->shutDown();
  }
  clients.clear();
  pending.clear();

  // Every worker wakes from its shut-down connection and ends. A worker that called stop() from
  // the callback is left to finish on its own; it holds the state alive. Workers that end while
  // others are joined move themselves to `finished`, so that list is drained until empty.
  std::vector<std::thread> toJoin(std::make_move_iterator(workers.begin()),
                                  std::make_move_iterator(workers.end()));
  workers.clear();
  std::move(finished.begin(), finished.end(), std::back_inserter(toJoin));
  finished.clear();
  while (!toJoin.empty()) {
    joinAll(toJoin);
    const std::scoped_lock guard(s.lock);
    toJoin.swap(s.finished);
  }

  if (hadPending) {
    s.notify({});
  }
  if (inode) {
    struct stat status {};
    if (::stat(s.socketURL.c_str(), &status) == 0 &&
        static_cast<std::uint64_t>(status.st_ino) == *inode) {
      ::unlink(s.socketURL.c_str());
    }
  }
}

bool UnixReplyServer::isListening() const {
  const std::scoped_lock guard(state->lock);
  return state->descriptor.valid();
}

bool UnixReplyServer::isPending(const UUID& replyId) const {
  const std::scoped_lock guard(state->lock);
  return state->pending.count(replyId) != 0;
}

std::set<UUID> UnixReplyServer::pendingReplyIDs() const { return state->snapshot(); }

std::vector<UnixReplyServer::Registration> UnixReplyServer::registrations() const {
  const std::scoped_lock guard(state->lock);
  std::vector<Registration> list;
  list.reserve(state->pending.size());
  for (const auto& [replyId, connection] : state->pending) {
    list.push_back({.replyId = replyId,
                    .registeredAt = connection->registeredAt,
                    .expiresAt = connection->expiresAt});
  }
  return list;
}

bool UnixReplyServer::submit(const AgentReply& reply) {
  State& s = *state;
  ConnectionRef connection;
  {
    const std::scoped_lock guard(s.lock);
    const auto it = s.pending.find(reply.replyId);
    if (it == s.pending.end()) {
      return false;
    }
    connection = std::move(it->second);
    s.pending.erase(it);
    s.clients.erase(connection);
  }
  bool gaveUp = false;
  {
    const std::scoped_lock guard(connection->receiptLock);
    connection->answered = true;
    if (!connection->watching) {
      gaveUp = true;
    }
  }
  if (gaveUp) {
    // The hook gave up just as the answer came: it will never read it.
    connection->shutDown();
    s.notify(s.snapshot());
    return false;
  }
  if (connection->wantsReceipt) {
    setTimeout(connection->socket.get(), SO_RCVTIMEO, receiptTimeout);
  }
  bool written = false;
  {
    const std::scoped_lock writeGuard(connection->writeLock);
    written = UnixReplyClient::writeLine(toJSON(reply), connection->socket.get());
  }
  s.notify(s.snapshot());
  bool delivered = written;
  if (written && connection->wantsReceipt) {
    // Written is not read: a hook killed now leaves the answer unread in its socket. Only the
    // hook's receipt says that it has the answer.
    if (std::this_thread::get_id() == connection->worker) {
      // Called from this connection's own pendingChanged callback: its worker is not watching
      // yet, so the receipt is read here.
      delivered = isReceipt(connection->socket.get(), {});
    } else {
      std::unique_lock guard(connection->receiptLock);
      connection->receiptChanged.wait_for(guard, receiptTimeout + sendTimeout,
                                          [&] { return !connection->watching; });
      delivered = connection->receiptRead;
    }
  }
  connection->shutDown();
  return delivered;
}

bool UnixReplyServer::release(const UUID& replyId) {
  State& s = *state;
  ConnectionRef connection;
  {
    const std::scoped_lock guard(s.lock);
    const auto it = s.pending.find(replyId);
    if (it == s.pending.end()) {
      return false;
    }
    connection = std::move(it->second);
    s.pending.erase(it);
    s.clients.erase(connection);
  }
  // The hook reads the end of the stream before any reply line: no answer.
  connection->shutDown();
  s.notify(s.snapshot());
  return true;
}

}  // namespace tarvel
