#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"
#include "TarvelDisplay/LivePrompt.hpp"

// The service's state as the API sends it: the whole state (GET /v1/state and the first message
// of the event stream) and the change from one revision to the next (later stream messages).
// Sessions are encoded with the shared coders; the snapshot names its sessions by id.
namespace tarvel::Display {

struct ServiceInfo {
  std::string version;
  Date startedAt{};
  std::uint64_t eventsReceived = 0;
  // When each agent (by provider name) last sent an event, kept after its sessions are cleared.
  std::map<std::string, Date> lastEvents;
  // The remote hosts' links, as the JSON array the state's "remotes" carries.
  std::string remotes = "[]";
  bool operator==(const ServiceInfo&) const = default;
};

// What a status line needs.
struct StatusCounts {
  std::uint64_t revision = 0;
  std::size_t waiting = 0;   // sessions with a live prompt
  std::size_t working = 0;   // other active sessions
  std::size_t prompts = 0;   // live prompts
  std::size_t sessions = 0;  // all sessions
  std::uint64_t eventsReceived = 0;  // as in ServiceInfo
  std::size_t remotesDown = 0;  // remote hosts whose link is down (sent only when some are)
  bool operator==(const StatusCounts&) const = default;
};

Json encodeSnapshot(const NotchActivitySnapshot& snapshot);
Json encodeStatus(const StatusCounts& counts);

// One published revision. Immutable once made; shared by every API thread that sends it.
class PublishedState {
 public:
  std::uint64_t revision = 0;
  // The "change" message data from the previous revision: the sessions whose record changed,
  // and edits of the order and of the snapshot's long lists, never a list of every session.
  std::string change;
  StatusCounts counts;
  std::vector<LivePrompt> prompts;
  // The sessions themselves (shared records), for one session's whole record on request.
  SessionList sessions;

  // The whole state's JSON text, built on first use and kept.
  const std::string& whole() const;

  // Pieces of the whole state, already encoded.
  std::vector<std::shared_ptr<const std::string>> sessionTexts;
  std::string serviceText;
  std::string remotesText = "[]";
  std::string snapshotText;
  std::string promptsText;
  std::string answerersText = "[]";
  std::string endedPromptsText = "[]";
  std::string sessionOutcomesText = "{}";
  std::string recentAnswersText = "[]";

 private:
  mutable std::once_flag built;
  mutable std::string wholeText;
};

// One session's whole record with every event it keeps (newest first), as the shared coders
// write it; absent when the state has no session with this id.
std::optional<std::string> encodeSessionDetail(const PublishedState& state, std::string_view id);

// Makes published revisions from the activity service, encoding only sessions whose record
// changed since the last revision.
// Thread: confined to the service's thread (it reads the activity service).
class StatePublisher {
 public:
  // `answerers`: the surfaces that can answer now (Answerers::encoded()); `endedPrompts`,
  // `sessionOutcomes`: what became of the last prompts (PromptEndings); `recentAnswers`: the
  // newest rows of the answer history.
  std::shared_ptr<const PublishedState> publish(const AgentActivityService& activity,
                                                std::vector<LivePrompt> prompts,
                                                const ServiceInfo& service,
                                                const Json& answerers = Json::array(),
                                                const Json& endedPrompts = Json::array(),
                                                const Json& sessionOutcomes = Json::object(),
                                                const Json& recentAnswers = Json::array());
  std::uint64_t revision() const { return lastRevision; }
  // The text of this very record (the session without its events) as last published; null when
  // that record was not.
  std::shared_ptr<const std::string> publishedText(const SharedSession& session) const;

 private:
  struct Entry {
    SharedSession session;
    std::shared_ptr<const std::string> text;
  };
  std::unordered_map<std::string, Entry> cache;
  std::vector<std::string> lastOrder;
  std::string lastPromptsText;
  std::string lastSnapshotText;
  // The snapshot's lists that may hold every session, as last sent.
  std::array<std::vector<std::string>, 3> lastSnapshotLists;
  std::string lastAnswerers = "[]";
  std::string lastEndedPrompts = "[]";
  std::string lastSessionOutcomes = "{}";
  std::string lastRecentAnswers = "[]";
  std::uint64_t lastRevision = 0;
};

// A client's copy of the service's state, kept up to date from the event stream's messages.
// Thread: one owner.
class RemoteState {
 public:
  // Applies a "state" or "change" message (other events are ignored and accepted). False when
  // the data cannot be decoded or a change does not follow the revision held: the client should
  // then fetch the whole state again.
  bool apply(std::string_view event, std::string_view data);

  std::uint64_t revision() const { return currentRevision; }
  const SessionList& sessions() const { return sessionList; }
  const SessionIndex& index() const { return sessionIndex; }
  const NotchActivitySnapshot& snapshot() const { return snapshotValue; }
  const std::vector<LivePrompt>& prompts() const { return promptList; }
  // How recent prompts ended: {replyId, sessionId, outcome, by, endedAt}, oldest first.
  const Json& endedPrompts() const { return endedList; }
  // How the last prompt of each session that has had no event since ended:
  // {sessionId: {outcome, by, endedAt}}.
  const Json& sessionOutcomes() const { return outcomeMap; }
  // The newest rows of the answer history, newest first (encodeAnswer's keys).
  const Json& recentAnswers() const { return recentList; }
  const ServiceInfo& service() const { return serviceInfo; }
  std::optional<SharedSession> session(std::string_view id) const;

 private:
  void applyCommon(const Json& message);
  // A "change" message's snapshot edits; false when they do not fit the snapshot held.
  bool applySnapshotChanges(const Json& changes);
  void rebuild();

  std::uint64_t currentRevision = 0;
  bool hasState = false;
  std::unordered_map<std::string, SharedSession> byId;
  std::vector<std::string> order;
  Json snapshotJson;
  SessionList sessionList;
  SessionIndex sessionIndex;
  NotchActivitySnapshot snapshotValue;
  std::vector<LivePrompt> promptList;
  Json endedList = Json::array();
  Json outcomeMap = Json::object();
  Json recentList = Json::array();
  ServiceInfo serviceInfo;
};

}  // namespace tarvel::Display
