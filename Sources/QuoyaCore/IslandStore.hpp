#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Sessions/AgentSession.hpp"

namespace quoya {

// The island's own model of the sessions to show. It screens out malformed, duplicate, stale
// and out-of-turn events, folds the rest into sessions, keeps them newest first and bounded,
// and remembers when each provider's hooks last spoke. A plain value with no clock of its own:
// callers pass the current date. Not synchronised; one owner mutates it at a time.
class IslandStore {
 public:
  static constexpr std::size_t maximumSessions = 100;
  static constexpr std::size_t maximumRememberedIDs = 2048;
  static constexpr std::size_t maximumSessionIDBytes = 256;
  static constexpr std::size_t maximumProviderBytes = 80;
  static constexpr std::size_t maximumTaskCharacters = 180;
  static constexpr std::size_t maximumActivityCharacters = 500;
  static constexpr std::size_t maximumWorkingDirectoryBytes = 4096;
  // A working session silent for longer than this is shown as of unknown state.
  static constexpr std::chrono::seconds silenceLimit{90};

  IslandStore() = default;

  // Newest `updatedAt` first, at most maximumSessions.
  const std::vector<tarvel::AgentSession>& sessions() const { return storedSessions; }
  std::int64_t acceptedCount() const { return accepted; }
  // The hook event name of the last accepted Codex hook event, and when it was accepted.
  const std::optional<std::string>& lastCodexHook() const { return lastCodexHookName; }
  const std::optional<tarvel::Date>& lastCodexEventAt() const { return lastCodexEventDate; }
  // Per provider, when one of its hook events was last accepted.
  const std::map<tarvel::AgentProvider, tarvel::Date>& providerEventAt() const {
    return providerEventDates;
  }
  // Display titles by namespaced session id.
  const std::map<std::string, std::string>& titles() const { return storedTitles; }

  // Offers one event received at `now`; true when it was accepted and applied. A rejected event
  // leaves the store unchanged.
  bool receive(const tarvel::AgentEvent& event, tarvel::Date now);

  // The state to display: a working session silent for more than 90 seconds is `unknown`.
  tarvel::AgentState state(const tarvel::AgentSession& session, tarvel::Date now) const;

  // The synchronised title; else "会话标题未同步" for providers whose titles come from their
  // threads; else the session's task.
  std::string displayTitle(const tarvel::AgentSession& session) const;

  // Merges Codex thread titles keyed by thread id; a blank title removes the entry.
  void synchronizeCodexTitles(const std::map<std::string, std::string>& threadTitles);

  // Removes every completed, failed or idle session, keeping the order of the rest.
  void clearFinished();
  // Removes every session of the demo provider.
  void clearDemo();

 private:
  struct Screening;

  // Moves the session at `index`, whose `updatedAt` may have changed, to where a stable sort of
  // the list by `updatedAt`, newest first, would put it.
  void reposition(std::size_t index);
  void rememberID(const tarvel::UUID& id);
  void dropTurnsOfRemovedSessions();

  std::vector<tarvel::AgentSession> storedSessions;
  std::int64_t accepted = 0;
  std::optional<std::string> lastCodexHookName;
  std::optional<tarvel::Date> lastCodexEventDate;
  std::map<tarvel::AgentProvider, tarvel::Date> providerEventDates;
  std::map<std::string, std::string> storedTitles;
  // Last turn id seen per namespaced session id.
  std::map<std::string, std::string> codexTurns;
  // Ids of the last accepted events, oldest first; the set mirrors the queue for lookups.
  std::deque<tarvel::UUID> recentIDs;
  std::unordered_set<tarvel::UUID> recentIDSet;
  // Set when sessions left the list outside receive(); the next accepted event then drops
  // their turn ids.
  bool turnsNeedSweep = false;
};

}  // namespace quoya
