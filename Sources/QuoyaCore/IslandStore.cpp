#include "QuoyaCore/IslandStore.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "QuoyaCore/CodexHookMapper.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace quoya {

using tarvel::AgentEvent;
using tarvel::AgentSession;
using tarvel::AgentState;
using tarvel::Date;

namespace {

constexpr std::string_view sourceKey = "quoyaSource";
constexpr std::string_view hookEventKey = "hookEvent";
constexpr std::string_view turnIDKey = "turnID";

bool isProviderIdentifier(std::string_view raw) {
  if (raw.empty() || raw.size() > IslandStore::maximumProviderBytes) {
    return false;
  }
  return std::all_of(raw.begin(), raw.end(), [](char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '-';
  });
}

bool isCanonicalHookEvent(std::string_view name) {
  const auto& names = CodexHookMapper::canonicalEvents;
  return std::find(names.begin(), names.end(), name) != names.end();
}

const std::string* metadataValue(const AgentEvent& event, std::string_view key) {
  if (!event.metadata) {
    return nullptr;
  }
  const auto found = event.metadata->find(std::string(key));
  return found == event.metadata->end() ? nullptr : &found->second;
}

// Whether the session's newest recorded event is a verified end of the session or its turn;
// the store rewrites the metadata of every event it keeps, so "hookEvent" there is trusted.
bool endedByHook(const AgentSession& session) {
  if (session.recentEvents.empty()) {
    return false;
  }
  const AgentEvent newest = session.recentEvents.front();  // read by value: keep it while used
  const std::string* name = metadataValue(newest, hookEventKey);
  return name != nullptr && (*name == "Interrupt" || *name == "SessionEnd");
}

// Busy, or last seen busy before the service restarted.
bool seemsBusy(AgentState state) { return isWorking(state) || state == AgentState::unknown; }

}  // namespace

bool IslandStore::receive(const AgentEvent& incoming, Date now) {
  // Malformed events and repeats leave no trace.
  if (incoming.protocolVersion != 1) {
    return false;
  }
  if (!tarvel::nonEmpty(incoming.sessionId) || incoming.sessionId.size() > maximumSessionIDBytes) {
    return false;
  }
  if (!isProviderIdentifier(incoming.provider.rawValue)) {
    return false;
  }
  if (recentIDSet.contains(incoming.id)) {
    return false;
  }

  // Only what the island shows survives; links, origins, replies, plans and files do not.
  AgentEvent event = incoming;
  event.sessionId = incoming.provider.namespacedSessionID(incoming.sessionId);
  event.timestamp = std::min(incoming.timestamp, now);
  if (event.task) {
    event.task = tarvel::Text::prefixCharacters(*event.task, maximumTaskCharacters);
  }
  if (event.activity) {
    event.activity = tarvel::Text::prefixCharacters(*event.activity, maximumActivityCharacters);
  }
  event.applicationURL.reset();
  event.origin.reset();
  event.pendingReply.reset();
  event.plan.reset();
  event.workflowUpdate.reset();
  event.parentSessionId.reset();
  event.file.reset();
  if (event.workingDirectory && (!tarvel::Text::startsWith(*event.workingDirectory, "/") ||
                                 event.workingDirectory->size() > maximumWorkingDirectoryBytes)) {
    event.workingDirectory.reset();
  }

  // Provenance: only this system's own hook command may speak for a hook event.
  const bool verified = CodexHookMapper::supported(incoming.provider) && [&] {
    const std::string* source = metadataValue(incoming, sourceKey);
    return source != nullptr && *source == CodexHookMapper::sourceFor(incoming.provider);
  }();
  std::optional<std::string> hookName;
  if (verified) {
    if (const std::string* name = metadataValue(incoming, hookEventKey)) {
      hookName = *name;
    }
  }
  const bool canonicalHook = hookName && isCanonicalHookEvent(*hookName);

  std::optional<std::string> turnID;
  if (canonicalHook) {
    if (const std::string* turn = metadataValue(incoming, turnIDKey)) {
      const auto recorded = codexTurns.find(event.sessionId);
      if (recorded != codexTurns.end() && recorded->second != *turn &&
          *hookName != "UserPromptSubmit") {
        return false;  // a late event of an earlier turn
      }
      // Kept aside until the event is accepted: a refused event must not overwrite the live
      // turn, or every later event of that turn would be refused as out of turn.
      turnID = *turn;
    }
    event.metadata = std::map<std::string, std::string>{
        {std::string(sourceKey), CodexHookMapper::sourceFor(incoming.provider)},
        {std::string(hookEventKey), *hookName},
    };
  } else {
    event.metadata.reset();
  }

  const auto existing =
      std::find_if(storedSessions.begin(), storedSessions.end(),
                   [&](const AgentSession& session) { return session.id == event.sessionId; });
  std::size_t index = 0;
  if (existing == storedSessions.end()) {
    index = storedSessions.size();
    storedSessions.push_back(AgentSession::fromEvent(event));
  } else {
    AgentSession& session = *existing;
    index = static_cast<std::size_t>(existing - storedSessions.begin());
    if (event.timestamp < session.updatedAt) {
      return false;
    }
    // A session that ended or was interrupted is revived only by a new prompt.
    if (verified && session.state == AgentState::idle && endedByHook(session) &&
        hookName != "UserPromptSubmit") {
      return false;
    }
    if (hookName == "SessionStart") {
      return false;  // an existing session is not restarted
    }
    if (hookName == "UserPromptSubmit") {
      session = AgentSession::fromEvent(event);  // a new turn starts a clean record
    } else {
      if (hookName == "PostToolUse" && session.state == AgentState::waitingForUser) {
        session.state = AgentState::running;
      }
      session.apply(event);
    }
  }

  // Accepted from here on.
  if (turnID) {
    codexTurns.insert_or_assign(event.sessionId, std::move(*turnID));
  }
  rememberID(event.id);
  reposition(index);
  while (storedSessions.size() > maximumSessions) {
    codexTurns.erase(storedSessions.back().id);
    storedSessions.pop_back();
  }
  ++accepted;
  if (canonicalHook) {
    providerEventDates.insert_or_assign(event.provider, now);
    if (event.provider == tarvel::AgentProvider::codex) {
      lastCodexHookName = *hookName;
      lastCodexEventDate = now;
    }
  }
  dropTurnsOfRemovedSessions();
  return true;
}

void IslandStore::rememberID(const tarvel::UUID& id) {
  recentIDs.push_back(id);
  recentIDSet.insert(id);
  while (recentIDs.size() > maximumRememberedIDs) {
    recentIDSet.erase(recentIDs.front());
    recentIDs.pop_front();
  }
}

void IslandStore::reposition(std::size_t index) {
  // Every other session is already in order, so one rotation does what a stable sort would:
  // the session goes after every newer one and after equal ones that stood before it.
  const Date date = storedSessions[index].updatedAt;
  std::size_t target = 0;
  for (std::size_t i = 0; i < storedSessions.size(); ++i) {
    if (i == index) {
      continue;
    }
    const Date other = storedSessions[i].updatedAt;
    if (other > date || (other == date && i < index)) {
      ++target;
    }
  }
  if (target == index) {
    return;
  }
  // One move per session passed, where std::rotate would swap (three moves each).
  const auto at = storedSessions.begin();
  AgentSession moving = std::move(storedSessions[index]);
  if (target < index) {
    std::move_backward(at + static_cast<std::ptrdiff_t>(target),
                       at + static_cast<std::ptrdiff_t>(index),
                       at + static_cast<std::ptrdiff_t>(index) + 1);
  } else {
    std::move(at + static_cast<std::ptrdiff_t>(index) + 1,
              at + static_cast<std::ptrdiff_t>(target) + 1,
              at + static_cast<std::ptrdiff_t>(index));
  }
  storedSessions[target] = std::move(moving);
}

void IslandStore::dropTurnsOfRemovedSessions() {
  if (!turnsNeedSweep) {
    return;
  }
  turnsNeedSweep = false;
  std::erase_if(codexTurns, [this](const auto& entry) {
    return std::none_of(storedSessions.begin(), storedSessions.end(),
                        [&](const AgentSession& session) { return session.id == entry.first; });
  });
}

AgentState IslandStore::state(const AgentSession& session, Date now) const {
  // Written so that no subtraction of two arbitrary dates can overflow.
  if (seemsBusy(session.state) && session.updatedAt < now - silenceLimit) {
    return AgentState::unknown;
  }
  return session.state;
}

std::string IslandStore::displayTitle(const AgentSession& session) const {
  if (const auto found = storedTitles.find(session.id); found != storedTitles.end()) {
    return found->second;
  }
  if (CodexHookMapper::supported(session.provider)) {
    return "会话标题未同步";
  }
  return session.task;
}

void IslandStore::synchronizeCodexTitles(const std::map<std::string, std::string>& threadTitles) {
  for (const auto& [threadID, title] : threadTitles) {
    std::string key = tarvel::AgentProvider::codex.namespacedSessionID(threadID);
    if (tarvel::nonEmpty(title)) {
      storedTitles.insert_or_assign(std::move(key), title);
    } else {
      storedTitles.erase(key);
    }
  }
}

void IslandStore::clearFinished() {
  const std::size_t before = storedSessions.size();
  std::erase_if(storedSessions, [](const AgentSession& session) {
    return session.state == AgentState::completed || session.state == AgentState::failed ||
           session.state == AgentState::idle;
  });
  turnsNeedSweep = turnsNeedSweep || storedSessions.size() != before;
}

void IslandStore::clearDemo() {
  const std::size_t before = storedSessions.size();
  std::erase_if(storedSessions,
                [](const AgentSession& session) { return session.provider.rawValue == "demo"; });
  turnsNeedSweep = turnsNeedSweep || storedSessions.size() != before;
}

}  // namespace quoya
