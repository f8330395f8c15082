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
// connections are open (being read) at once, and further ones wait in the listener's backlog
// until one ends: no connection is ever closed unread while the server runs.
//
// Threads: one poll loop ("com.tarvel.socket.listener") accepts and reads every open connection
// at once, so an idle connection never holds up another; the connections finished in one round
// of the loop go together to the worker pool "com.tarvel.socket.clients" (one hand-off per round,
// not per hook), which decodes them and calls `eventHandler` concurrently (it must be
// thread-safe; one connection's events arrive in line order). start() and stop() may be
// called from any thread, but not from inside `eventHandler` for stop()'s wait (see there).
class UnixSocketServer {
 public:
  // Given the event itself: a handler that keeps it moves it rather than copying it.
  using EventHandler = std::function<void(AgentEvent)>;
  // Also given the line as received (no line feed), which decoded to the event; valid only
  // during the call.
  using LineHandler = std::function<void(AgentEvent, std::string_view line)>;

  static constexpr std::size_t maximumConnections = 64;
  static constexpr std::size_t maximumPendingDeliveries = 1024;
  static constexpr std::chrono::seconds receiveTimeout{2};
  static constexpr std::size_t readBlockBytes = 8192;

  // Stores the values (a payload limit below 1 becomes 1); touches no file.
  UnixSocketServer(std::filesystem::path socketURL, std::int64_t maximumPayloadBytes,
                   EventHandler eventHandler);
  UnixSocketServer(std::filesystem::path socketURL, std::int64_t maximumPayloadBytes,
                   LineHandler lineHandler);
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
  // Accepts every pending connection; false when out of descriptors or memory.
  bool acceptPending(int listener, std::vector<Connection>& connections,
                     std::vector<std::string>& batch);
  // Reads what is available; true when the connection has ended.
  bool readAvailable(Connection& connection) const;
  // Adds a finished connection's payload to `batch`; dispatch() hands the batch to the workers.
  void finish(Connection connection, std::vector<std::string>& batch);
  void dispatch(std::vector<std::string>& batch);
  void deliver(const std::string& payload) const;
  void removeOwnSocketFile();

  std::filesystem::path path;
  std::int64_t payloadLimit = 1;
  LineHandler eventHandler;

  mutable std::mutex lifecycle;  // guards `descriptor`, `ownedInode` and `listenerThread`
  UniqueFd descriptor;
  std::optional<std::uint64_t> ownedInode;
  LabeledThread listenerThread;

  // Wakes the poll loop: to stop, or to resume accepting. Made by the first start() and kept
  // until destruction, because workers may still signal it while stop() runs.
  std::optional<WakePipe> wakePipe;
  std::atomic<bool> stopping{false};
  // Received payloads handed to the workers and not yet delivered, and their bytes. While there
  // are maximumPendingDeliveries of them, or maximumConnections payloads' worth of bytes, the
  // loop stops accepting (new hooks wait in the backlog) until the workers catch up, so a slow
  // handler delays events instead of losing them, and memory stays bounded. Hook events are
  // small: a burst pauses the loop only when the workers are really behind.
  bool deliveriesFull() const;
  std::atomic<std::size_t> pendingDeliveries{0};
  std::atomic<std::size_t> pendingBytes{0};
  std::atomic<bool> acceptPaused{false};
  WorkQueue clientsQueue;
};

}  // namespace tarvel
