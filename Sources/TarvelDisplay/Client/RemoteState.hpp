#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"
#include "TarvelDisplay/Shared/StateMessages.hpp"

namespace tarvel::Display {

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
