#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/AgentSocketError.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Platform/WorkQueue.hpp"

namespace tarvel {

// Receives event lines on a Unix socket and hands each decoded event to `eventHandler`.
// Each hook connects, writes one or more lines and closes; a connection's lines are decoded once
// it ends (end of stream, or 2 s without data), undecodable lines are logged and skipped.
// A connection that sends more than maximumPayloadBytes in total delivers nothing; at most 64
// connections are open (accepted and not yet delivered) at once, and further ones wait in the
// listener's backlog until one ends: no connection is ever closed unread while the server runs.
// Memory for payloads is therefore bounded by 64 x maximumPayloadBytes, however slow the handler.
//
// Threads: one poll loop ("com.tarvel.socket.listener") accepts, and watches the connections
// that have not finished sending, so an idle connection never holds up another; ready
// connections go in groups to the worker pool "com.tarvel.socket.clients", which reads, closes
// and decodes them and calls `eventHandler` concurrently (it must be thread-safe; one
// connection's events arrive in line order). A connection a worker finds unfinished goes back
// to the loop (the first time, after waiting up to 2 ms for a hook that has only connected). start() and stop() may be called from any thread, but not from inside
// `eventHandler` for stop()'s wait (see there).
class UnixSocketServer {
 public:
  // Given the event itself: a handler that keeps it moves it rather than copying it.
  using EventHandler = std::function<void(AgentEvent)>;
  // Also given the line as received (no line feed), which decoded to the event; valid only
  // during the call.
  using LineHandler = std::function<void(AgentEvent, std::string_view line)>;
  // Also given the process that connected (0 when it cannot be told), for a receiver that
  // trusts some senders differently: SO_PEERCRED, as of the connect() call.
  using PeerLineHandler = std::function<void(AgentEvent, std::string_view line, pid_t peer)>;

  static constexpr std::size_t maximumConnections = 64;
  static constexpr std::chrono::seconds receiveTimeout{2};
  static constexpr std::size_t readBlockBytes = 8192;

  // Stores the values (a payload limit below 1 becomes 1); touches no file.
  UnixSocketServer(std::filesystem::path socketURL, std::int64_t maximumPayloadBytes,
                   EventHandler eventHandler);
  UnixSocketServer(std::filesystem::path socketURL, std::int64_t maximumPayloadBytes,
                   LineHandler lineHandler);
  UnixSocketServer(std::filesystem::path socketURL, std::int64_t maximumPayloadBytes,
                   PeerLineHandler peerLineHandler);
  UnixSocketServer(const UnixSocketServer&) = delete;
  UnixSocketServer& operator=(const UnixSocketServer&) = delete;
  // Calls stop().
  ~UnixSocketServer();

  // Creates the listener (see UnixSocketSupport::bindListener; the directory is forced to 0700
  // only at AgentSocketLocation::defaultURL) and starts serving. Does nothing when started.
  // Fails with alreadyInUse when another process serves the path, or the listener's errors.
  [[nodiscard]] std::optional<AgentSocketError> start();

  // Stops accepting, ends every open connection (what it already sent is still delivered) and
  // removes the socket file if it is still the one this server created. Returns once every
  // received line has reached the handler; called from inside the handler it does not wait for
  // that handler call. Harmless when not started, and more than once.
  void stop();

  bool isListening() const;
  const std::filesystem::path& socketURL() const { return path; }
  std::int64_t maximumPayloadBytes() const { return payloadLimit; }

 private:
  struct Connection;

  void serve(int listener, int wakeDescriptor);
  // Accepts pending connections up to the cap into `ready`; false when out of descriptors or
  // memory.
  bool acceptPending(int listener, std::vector<Connection>& ready);
  bool connectionsFull() const;
  // Reads what is available; true when the connection has ended.
  bool readAvailable(Connection& connection) const;
  // On a worker: reads the connection; once it has ended, closes it and delivers its lines,
  // otherwise hands it back to the loop.
  void serveConnection(Connection connection);
  // Gives an unfinished connection back to the loop; false once the loop has ended.
  bool handBack(Connection& connection);
  // Hands `ready` to the workers and empties it.
  void dispatch(std::vector<Connection>& ready);
  void deliver(const std::string& payload, pid_t peer) const;
  void removeOwnSocketFile();

  std::filesystem::path path;
  std::int64_t payloadLimit = 1;
  PeerLineHandler eventHandler;
  bool wantsPeer = false;  // only a PeerLineHandler needs the peer's credentials

  mutable std::mutex lifecycle;  // guards `descriptor`, `ownedInode` and `listenerThread`
  UniqueFd descriptor;
  std::optional<std::uint64_t> ownedInode;
  LabeledThread listenerThread;

  // Wakes the poll loop: to stop, or to resume accepting. Made by the first start() and kept
  // until destruction, because workers may still signal it while stop() runs.
  std::optional<WakePipe> wakePipe;
  std::atomic<bool> stopping{false};
  // Connections accepted and not yet closed, wherever they are. At maximumConnections the loop
  // stops accepting (new hooks wait in the backlog) until a worker ends one, so a slow handler
  // delays events instead of losing them.
  std::atomic<std::size_t> openConnections{0};
  std::atomic<bool> acceptPaused{false};
  // Connections a worker found unfinished, for the loop to watch again; once the loop has
  // ended (stopping), workers end such connections themselves.
  std::mutex handBackLock;
  std::vector<Connection> handedBack;
  bool loopEnded = false;
  WorkQueue clientsQueue;
};

}  // namespace tarvel
