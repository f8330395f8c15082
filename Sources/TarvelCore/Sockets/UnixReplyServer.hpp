#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/AgentSocketError.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel {

// The display's end of the reply socket. A waiting hook connects, sends a hello line naming its
// `replyId`, is acknowledged with {"registered":true} (with "wantsReceipt" when its hello offered
// a receipt), and then waits until `submit` writes the user's answer to it. `pendingChanged` is
// told the set of `replyId`s that have a live hook after every change (registration, answer, hook
// gone, displacement, stop).
//
// Threads: one accept thread ("com.tarvel.reply.listener") and one worker thread per open
// connection ("com.tarvel.reply.clients"), at most `Limits::connections` at once; further hooks
// wait in the listener's backlog until a connection ends, never closed unread. A hook whose
// connection `hostOf` names a host (one that reached us through that host's link) is one of the
// host's: a host has at most `Limits::hostShare` connections at once, and a hook beyond that is
// told {"registered":false} at once (its agent asks the user itself), so that no one host can
// take every slot. One mutex guards
// all state; no socket read, write or wait happens while it is held. Every public function may be
// called from any thread. `pendingChanged` runs outside the lock, on whichever thread made the
// change (so snapshots from different threads may arrive out of order), and must not wait for
// the thread that calls stop(), which joins the workers before its own final call. The callback
// may call submit() and stop().
class UnixReplyServer {
 public:
  using PendingChanged = std::function<void(const std::set<UUID>&)>;

  // How long a connection may take to send its hello, and how long a registered hook is held
  // without an answer (the hold: a hook asks for the longest, and is let go, its connection
  // closed, when the shorter of the two ends). Tests shorten them; the defaults are the server's.
  struct Limits {
    std::chrono::milliseconds helloTimeout{2000};
    std::chrono::milliseconds registrationTimeout{120000};
    // Connections served at once, and of them at most those of one host.
    std::size_t connections = defaultConnections;
    std::size_t hostShare = defaultConnections / 4;
  };
  // The host behind the process that connected (its link's ssh); nothing for a local hook.
  using HostOf = std::function<std::optional<std::string>(pid_t process)>;

  // One thread and one descriptor each: the service raises its descriptor limit to have room.
  static constexpr std::size_t defaultConnections = 2048;
  // A hello line longer than this is not read any further and is rejected as malformed.
  static constexpr std::size_t maximumHelloBytes = 4095;

  UnixReplyServer(std::filesystem::path socketURL, PendingChanged pendingChanged);
  UnixReplyServer(std::filesystem::path socketURL, PendingChanged pendingChanged, Limits limits);
  // Stops the server (see stop()).
  ~UnixReplyServer();
  UnixReplyServer(const UnixReplyServer&) = delete;
  UnixReplyServer& operator=(const UnixReplyServer&) = delete;
  UnixReplyServer(UnixReplyServer&&) = delete;
  UnixReplyServer& operator=(UnixReplyServer&&) = delete;

  // Creates the socket (directory 0700, file 0600, cross-process lock; refuses a path another
  // process accepts on) and starts accepting. Does nothing when already listening. Fails with
  // what creating the listener fails with, or systemCall "pipe" / "thread".
  [[nodiscard]] std::optional<AgentSocketError> start();
  // Set once, before start().
  void setHostOf(HostOf hostOf);

  // Stops accepting, disconnects every hook (each gets no answer), waits for the server's threads
  // to end, calls `pendingChanged` once with an empty set when hooks were registered, and removes
  // the socket file only if it is still the one this server created. Does nothing when stopped.
  void stop();

  bool isListening() const;
  // Whether a hook is registered for this prompt now.
  bool isPending(const UUID& replyId) const;
  // A snapshot of the registered `replyId`s.
  std::set<UUID> pendingReplyIDs() const;

  // A registered hook: when it registered and when it gives up (its own wait when its hello
  // names one, else the server's registration limit).
  struct Registration {
    UUID replyId;
    Date registeredAt{};
    Date expiresAt{};
    bool operator==(const Registration&) const = default;
  };
  // Every registered hook, in `replyId` order.
  std::vector<Registration> registrations() const;

  // Delivers the answer to the hook registered for `reply.replyId` and ends that registration.
  // True only when a hook was registered and the whole reply line was written to it, and, when
  // the acknowledgement asked for its receipt, once the receipt came back (waiting a few seconds
  // at most): an answer written to a hook that dies before reading it was not delivered.
  bool submit(const AgentReply& reply);
  // Ends the registration of `replyId` without an answer, so that its hook gives its agent the
  // neutral answer at once. True when a hook was registered.
  bool release(const UUID& replyId);

  const std::filesystem::path& socketURL() const;

 private:
  struct State;
  std::shared_ptr<State> state;
};

}  // namespace tarvel
