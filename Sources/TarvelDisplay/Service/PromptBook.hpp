#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Sockets/UnixReplyServer.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

namespace tarvel::Display {

// The prompt of a waiting event, as the book lists it (its `expiresAt` not yet known).
// Precondition: event.pendingReply.
LivePrompt livePromptOf(const AgentEvent& event, const std::optional<std::string>& projectName,
                        Date receivedAt);

// The tool call an event names (its "toolCallId"); absent when it names none.
std::optional<std::string> toolCallOf(const AgentEvent& event);

// Every prompt the service has heard of, and which of them are live: a prompt is live while its
// waiting event has arrived and a hook is registered for its `replyId` on the reply socket,
// whichever came first. Answers name their prompt by `replyId`; the book tells an unknown id
// from one that is over.
// Thread: every function may be called from any thread; one mutex guards everything.
class PromptBook {
 public:
  // Prompts and finished ids remembered; beyond these the oldest are forgotten.
  static constexpr std::size_t maximumRecords = 4096;
  // A waiting event whose hook never registers is forgotten after this long.
  static constexpr std::chrono::minutes unregisteredLifetime{10};

  // Records the prompt of a waiting event (nothing for other events).
  void record(const AgentEvent& event, const std::optional<std::string>& projectName,
              Date receivedAt);
  // The hooks registered now; a prompt whose hook went away is over. Returns the live prompts
  // whose hook went away by itself (its time ran out, or its agent ended it), not those being
  // answered or finished here.
  std::vector<LivePrompt> setRegistrations(
      const std::vector<UnixReplyServer::Registration>& registrations);
  // Whoever ends a prompt here (an answer delivered, a release, a withdrawal, the service's
  // stop) claims it first, and only the one claim that succeeds records its ending, so a prompt
  // ends once whatever races: its hook going away is then no news of its own either. False when
  // the prompt is over or another claim is underway.
  [[nodiscard]] bool claim(const UUID& replyId);
  // An answer is to be delivered to the prompt: claim().
  [[nodiscard]] bool beginAnswer(const UUID& replyId) { return claim(replyId); }
  // The prompt was answered: it is over, whatever the reply server says next. Returns its
  // record when its waiting event had arrived.
  std::optional<LivePrompt> finish(const UUID& replyId);

  // The live prompts, oldest first: those with a registered hook, and those claimed and not yet
  // finished.
  std::vector<LivePrompt> live() const;
  // False when no prompt can be live (no hook is registered): cheaper than live().
  bool mayHaveLive() const;
  // Grows whenever the live prompts may have changed.
  std::uint64_t generation() const;

  struct Lookup {
    enum class Kind { unknown, over, live };
    Kind kind = Kind::unknown;
    std::optional<LivePrompt> prompt;  // for live
  };
  Lookup lookup(const UUID& replyId) const;
  // Whether the prompt is claimed and not yet finished.
  bool isClaimed(const UUID& replyId) const;
  // Whether the prompt was answered, released or its hook went away.
  bool hasEnded(const UUID& replyId) const;

 private:
  struct Record {
    LivePrompt prompt;  // expiresAt set from the registration
    bool registered = false;
    bool answering = false;
  };
  void finishLocked(const UUID& replyId);
  void pruneLocked(Date now);

  mutable std::mutex mutex;
  std::map<UUID, Record> records;
  std::map<UUID, UnixReplyServer::Registration> registered;
  std::set<UUID> over;
  std::set<UUID> answering;
  std::deque<UUID> overOrder;  // `over` in the order ids ended, to forget the oldest
  std::uint64_t changes = 0;
};

}  // namespace tarvel::Display
