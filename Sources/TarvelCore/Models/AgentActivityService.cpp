#include "TarvelCore/Models/AgentActivityService.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Log.hpp"

namespace tarvel {
namespace {

const Log::Logger logger{"activity"};

bool isTerminal(AgentState state) {
  return state == AgentState::completed || state == AgentState::failed;
}

std::optional<std::string> metadataValue(const AgentEvent& event, const std::string& key) {
  if (!event.metadata) {
    return std::nullopt;
  }
  const auto found = event.metadata->find(key);
  if (found == event.metadata->end()) {
    return std::nullopt;
  }
  return found->second;
}

// A Grok session that only ever announced its start.
bool isOrphanedGrokStart(const AgentSession& session) {
  if (session.provider != AgentProvider::grok || session.state != AgentState::starting ||
      session.recentEvents.empty()) {
    return false;
  }
  return std::all_of(session.recentEvents.begin(), session.recentEvents.end(),
                     [](const AgentEvent& event) {
                       return event.type == AgentEventType::started &&
                              metadataValue(event, "hookEvent") == "SessionStart";
                     });
}

void namespaceIdentities(AgentSession& session) {
  const AgentProvider& provider = session.provider;
  session.id = provider.namespacedSessionID(session.id);
  if (session.parentSessionId) {
    session.parentSessionId = provider.namespacedSessionID(*session.parentSessionId);
  }
  std::vector<AgentEvent> events = session.recentEvents.toVector();
  bool changed = false;
  for (AgentEvent& event : events) {
    std::string id = provider.namespacedSessionID(event.sessionId);
    changed = changed || id != event.sessionId;
    event.sessionId = std::move(id);
    if (event.parentSessionId) {
      std::string parent = provider.namespacedSessionID(*event.parentSessionId);
      changed = changed || parent != *event.parentSessionId;
      event.parentSessionId = std::move(parent);
    }
  }
  if (changed) {
    session.recentEvents = AgentEventHistory(std::move(events));
  }
}

}  // namespace

AgentEvent attentionEventFor(const AgentSession& session) {
  for (const AgentEvent& event : session.recentEvents) {
    if (event.resolvedState() == AgentState::waitingForUser) {
      return event;
    }
  }
  return AgentEvent{
      .protocolVersion = currentProtocolVersion,
      .id = UUID::random(),
      .type = AgentEventType::waiting,
      .sessionId = session.id,
      .provider = session.provider,
      .task = session.task,
      .activity = session.currentActivity,
      .state = AgentState::waitingForUser,
      .timestamp = session.updatedAt,
      .workingDirectory = session.workingDirectory,
      .applicationURL = session.applicationURL,
      .origin = session.origin,
      .parentSessionId = session.parentSessionId,
      .agentRole = session.agentRole,
      .plan = session.plan,
      .pendingReply = session.pendingReply,
  };
}

struct AgentActivityService::Before {
  // The records as they were; `index` (built from exactly these) keeps them alive.
  std::vector<const AgentSession*> sessions;
  std::optional<AgentEvent> attentionEvent;
  bool snapshotChanged = false;
  std::uint64_t historyRevision = 0;
  bool protocolMismatchDetected = false;
  SessionIndex index;
  bool positionsChanged = false;
};

AgentActivityService::AgentActivityService(std::vector<AgentSession> restored)
    : owner(std::this_thread::get_id()) {
  normalize(restored);
  sessionList = toSessionList(std::move(restored));
  order();
  rebuildLookups();
  attention = latestWaitingAttentionEvent();
  snapshot = sessionIndexValue.notchSnapshot(attention);
}

void AgentActivityService::checkThread() const {
#ifndef NDEBUG
  if (std::this_thread::get_id() != owner) {
    std::fputs(
        "TarvelCore/AgentActivityService: used from a thread other than the one that created "
        "it\n",
        stderr);
    std::abort();
  }
#endif
}

// ---- Observation and reads ----

AgentActivityService::ObserverToken AgentActivityService::addObserver(Observer observer) {
  checkThread();
  const ObserverToken token = nextToken++;
  observers.emplace_back(token, std::move(observer));
  return token;
}

void AgentActivityService::removeObserver(ObserverToken token) {
  checkThread();
  std::erase_if(observers, [token](const auto& entry) { return entry.first == token; });
}

const SessionList& AgentActivityService::sessions() const {
  checkThread();
  return sessionList;
}
const std::optional<AgentEvent>& AgentActivityService::attentionEvent() const {
  checkThread();
  return attention;
}
const NotchActivitySnapshot& AgentActivityService::notchSnapshot() const {
  checkThread();
  return snapshot;
}
std::uint64_t AgentActivityService::historyRevision() const {
  checkThread();
  return revision;
}
bool AgentActivityService::protocolMismatchDetected() const {
  checkThread();
  return mismatchDetected;
}
const AgentActivityService::SessionsChanged& AgentActivityService::onSessionsChanged() const {
  checkThread();
  return sessionsChanged;
}
void AgentActivityService::setOnSessionsChanged(SessionsChanged callback) {
  checkThread();
  // Callbacks cannot be compared; replacing one counts as a change unless both are empty.
  const bool changed = callback || sessionsChanged;
  sessionsChanged = std::move(callback);
  if (changed) {
    for (const auto& [token, observer] : observers) {
      observer(Property::onSessionsChanged);
    }
  }
}
const SessionIndex& AgentActivityService::index() const {
  checkThread();
  return sessionIndexValue;
}
const SessionIndex::Map<std::size_t>& AgentActivityService::sessionsByID() const {
  checkThread();
  return positions;
}

const SessionList& AgentActivityService::activeSessions() const {
  checkThread();
  return snapshot.activeSessions;
}
const std::vector<AgentProvider>& AgentActivityService::activeProviders() const {
  checkThread();
  return snapshot.activeProviders;
}
std::int64_t AgentActivityService::activeGroupCount() const {
  checkThread();
  return snapshot.activeGroupCount;
}
const SessionList& AgentActivityService::attentionSessions() const {
  checkThread();
  return snapshot.attentionSessions;
}
std::optional<SharedSession> AgentActivityService::attentionSession() const {
  checkThread();
  return snapshot.attentionSession;
}
const SessionList& AgentActivityService::listSessions() const {
  checkThread();
  return snapshot.listSessions;
}
std::size_t AgentActivityService::attentionCount() const {
  checkThread();
  return snapshot.attentionCount();
}
SessionList AgentActivityService::recentSessions() const {
  checkThread();
  SessionList result;
  for (const SharedSession& session : sessionList) {
    if (!session->isActive()) {
      result.push_back(session);
    }
  }
  return result;
}
const SessionList& AgentActivityService::hierarchicalSessions() const {
  checkThread();
  return sessionIndexValue.hierarchicalSessions();
}
SessionIndex AgentActivityService::sessionIndex() const {
  checkThread();
  return sessionIndexValue;
}
std::optional<SharedSession> AgentActivityService::session(std::string_view id) const {
  checkThread();
  return sessionIndexValue.session(id);
}
SessionList AgentActivityService::children(std::string_view parentId) const {
  checkThread();
  const auto& children = sessionIndexValue.childrenByParentID();
  const auto found = children.find(parentId);
  return found == children.end() ? SessionList{} : found->second;
}
std::optional<SharedSession> AgentActivityService::parent(std::string_view sessionId) const {
  checkThread();
  const auto child = sessionIndexValue.session(sessionId);
  if (!child || !(*child)->parentSessionId) {
    return std::nullopt;
  }
  return sessionIndexValue.session(*(*child)->parentSessionId);
}

// ---- Internals ----

AgentActivityService::Before AgentActivityService::capture() const {
  std::vector<const AgentSession*> records;
  records.reserve(sessionList.size());
  for (const SharedSession& session : sessionList) {
    records.push_back(&*session);
  }
  return Before{
      .sessions = std::move(records),
      .attentionEvent = attention,
      .historyRevision = revision,
      .protocolMismatchDetected = mismatchDetected,
      .index = sessionIndexValue,
  };
}

void AgentActivityService::normalize(std::vector<AgentSession>& restored) {
  std::erase_if(restored, isOrphanedGrokStart);
  for (AgentSession& session : restored) {
    const std::string oldID = session.id;
    namespaceIdentities(session);
    if (attention && attention->sessionId == oldID && attention->provider == session.provider) {
      attention->sessionId = session.id;
    }
  }
  // One session per provider and id: the later update wins, the first met on a tie.
  std::unordered_map<std::string, std::size_t> keptByKey;
  std::vector<AgentSession> kept;
  kept.reserve(restored.size());
  for (AgentSession& session : restored) {
    std::string key = session.provider.rawValue;
    key.push_back('\0');
    key += session.id;
    const auto [found, inserted] = keptByKey.try_emplace(std::move(key), kept.size());
    if (inserted) {
      kept.push_back(std::move(session));
    } else if (session.updatedAt > kept[found->second].updatedAt) {
      kept[found->second] = std::move(session);
    }
  }
  for (AgentSession& session : kept) {
    session.pendingReply.reset();
    session.pendingReplies.clear();
  }
  restored = std::move(kept);
}

// Session order: needing attention first, then active, then the latest update; ties keep their
// previous relative order (the sort is stable).
void AgentActivityService::order() {
  // The keys are computed once per session rather than once per comparison.
  struct Keyed {
    int rank = 0;  // needing attention first, then active: waiting, failed, active, others
    Date updatedAt;
    SharedSession session;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(sessionList.size());
  for (SharedSession& session : sessionList) {
    const int rank = (session->needsAttention() ? 0 : 2) + (session->isActive() ? 0 : 1);
    keyed.push_back({rank, session->updatedAt, std::move(session)});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.rank != b.rank) {
      return a.rank < b.rank;
    }
    return a.updatedAt > b.updatedAt;
  });
  for (std::size_t i = 0; i < keyed.size(); ++i) {
    sessionList[i] = std::move(keyed[i].session);
  }
}

void AgentActivityService::rebuildLookups() {
  // Most changes keep every id at its place; checking that is cheaper than rebuilding the map.
  positions.clear();
  positions.reserve(sessionList.size());
  // Backwards, so that the later position of a repeated id is the one kept.
  for (std::size_t i = sessionList.size(); i-- > 0;) {
    positions.try_emplace(sessionList[i]->id, i);
  }
  sessionIndexValue = SessionIndex(sessionList);
}

void AgentActivityService::replaceAt(std::size_t position, AgentSession session) {
  sessionList[position] = SharedSession(std::move(session));
}

std::optional<AgentEvent> AgentActivityService::latestWaitingAttentionEvent() const {
  const SessionList& waiting = sessionIndexValue.attentionSessions();
  if (waiting.empty()) {
    return std::nullopt;
  }
  return attentionEventFor(*waiting.front());
}

void AgentActivityService::updateAttentionPresentation(const AgentEvent& event) {
  if (event.resolvedState() == AgentState::waitingForUser ||
      (attention && attention->sessionId == event.sessionId)) {
    attention = latestWaitingAttentionEvent();
  }
}

bool AgentActivityService::completeIfParentTerminal(std::size_t position, Date date) {
  const AgentSession& session = *sessionList[position];
  if (!session.isActive() || !session.parentSessionId) {
    return false;
  }
  const auto parentPosition = positions.find(*session.parentSessionId);
  if (parentPosition == positions.end()) {
    return false;
  }
  const AgentSession& parent = *sessionList[parentPosition->second];
  if (!isTerminal(parent.state)) {
    return false;
  }
  AgentSession completed = session;
  completed.complete(parent.state, std::max(date, parent.updatedAt));
  replaceAt(position, std::move(completed));
  return true;
}

bool AgentActivityService::completeActiveDescendants(const std::string& id, AgentState state,
                                                     Date date) {
  bool any = false;
  for (const std::string& descendant : sessionIndexValue.descendantIDs(id)) {
    const auto position = positions.find(descendant);
    if (position == positions.end() || !sessionList[position->second]->isActive()) {
      continue;
    }
    AgentSession completed = *sessionList[position->second];
    completed.complete(state, date);
    replaceAt(position->second, std::move(completed));
    any = true;
  }
  return any;
}

void AgentActivityService::commit(bool orderSessions, AttentionRefresh refresh,
                                  const Before& before) {
  if (orderSessions) {
    order();
  }
  rebuildLookups();
  switch (refresh) {
    case AttentionRefresh::keep:
      break;
    case AttentionRefresh::recompute:
      attention = latestWaitingAttentionEvent();
      break;
    case AttentionRefresh::ifMissing:
      if (attention && !sessionIndexValue.session(attention->sessionId)) {
        attention = latestWaitingAttentionEvent();
      }
      break;
  }
  publishAndNotify(before);
}

void AgentActivityService::publishAndNotify(const Before& before) {
  NotchActivitySnapshot published = sessionIndexValue.notchSnapshot(attention);
  Before changes = before;
  if (!(published == snapshot)) {
    snapshot = std::move(published);
    changes.snapshotChanged = true;
  }
  ++revision;
  notifyChanges(changes);
  if (sessionsChanged) {
    sessionsChanged(sessionList);
  }
}

void AgentActivityService::notifyChanges(const Before& before) {
  if (observers.empty()) {
    return;
  }
  std::vector<Property> changed;
  const bool sessionsEqual =
      before.sessions.size() == sessionList.size() &&
      std::equal(before.sessions.begin(), before.sessions.end(), sessionList.begin(),
                 [](const AgentSession* old, const SharedSession& current) {
                   return old == &*current || *old == *current;
                 });
  if (!sessionsEqual) {
    changed.push_back(Property::sessions);
  }
  if (before.attentionEvent != attention) {
    changed.push_back(Property::attentionEvent);
  }
  if (before.snapshotChanged) {
    changed.push_back(Property::notchSnapshot);
  }
  if (before.historyRevision != revision) {
    changed.push_back(Property::historyRevision);
  }
  if (before.protocolMismatchDetected != mismatchDetected) {
    changed.push_back(Property::protocolMismatchDetected);
  }
  if (!(before.index == sessionIndexValue)) {
    changed.push_back(Property::index);
  }
  // Positions follow from the ids in order; compare those instead of the two maps.
  bool positionsChanged = before.sessions.size() != sessionList.size();
  for (std::size_t i = 0; !positionsChanged && i < sessionList.size(); ++i) {
    positionsChanged = before.sessions[i]->id != sessionList[i]->id;
  }
  if (positionsChanged) {
    changed.push_back(Property::sessionsByID);
  }
  const auto current = observers;  // an observer may remove itself
  for (const Property property : changed) {
    for (const auto& [token, observer] : current) {
      observer(property);
    }
  }
}

// ---- Operations ----

bool AgentActivityService::ingest(AgentEvent event) {
  checkThread();
  if (event.protocolVersion != currentProtocolVersion) {
    const bool wasDetected = mismatchDetected;
    mismatchDetected = true;
    logger.error(
        "Dropped event for session %{private}s: protocol version %ld is not supported (expected "
        "1). Reinstall provider integrations or update the app.",
        {Log::privateValue(event.sessionId), Log::value(static_cast<long>(event.protocolVersion))});
    if (!wasDetected) {
      for (const auto& [token, observer] : std::vector(observers)) {
        observer(Property::protocolMismatchDetected);
      }
    }
    return false;
  }

  const Date now = Dates::now();
  if (event.timestamp > now) {
    event.timestamp = now;
    if (event.plan && event.plan->updatedAt > now) {
      event.plan->updatedAt = now;
    }
  }

  const Before before = capture();
  std::size_t position = 0;
  const auto known = positions.find(event.sessionId);
  if (known != positions.end()) {
    position = known->second;
    AgentSession folded = *sessionList[position];
    const bool advanced = folded.apply(event);
    replaceAt(position, std::move(folded));
    const bool completedByParent = completeIfParentTerminal(position, event.timestamp);
    if (!advanced) {
      if (completedByParent) {
        order();
        rebuildLookups();
        // The session may have been the one presented as waiting: present the next one.
        updateAttentionPresentation(event);
      } else {
        rebuildLookups();
      }
      publishAndNotify(before);
      return true;
    }
  } else {
    position = sessionList.size();
    sessionList.emplace_back(AgentSession::fromEvent(event));
    positions.insert_or_assign(event.sessionId, position);  // `event` outlives the rebuild below
    completeIfParentTerminal(position, event.timestamp);
  }

  const AgentState resolved = event.resolvedState();
  if (isTerminal(resolved)) {
    completeActiveDescendants(event.sessionId, resolved, event.timestamp);
  }
  order();
  rebuildLookups();
  if (isTerminal(resolved)) {
    attention = latestWaitingAttentionEvent();
  } else {
    updateAttentionPresentation(event);
  }
  publishAndNotify(before);
  return true;
}

void AgentActivityService::replaceSessions(std::vector<AgentSession> replacement) {
  checkThread();
  const Before before = capture();
  normalize(replacement);
  sessionList = toSessionList(std::move(replacement));
  commit(true, AttentionRefresh::recompute, before);
}

void AgentActivityService::removeSession(const std::string& id) { removeSessions({id}); }

void AgentActivityService::removeSessions(const std::unordered_set<std::string>& ids) {
  checkThread();
  if (ids.empty()) {
    return;
  }
  const Before before = capture();
  const auto removed = std::erase_if(
      sessionList, [&ids](const SharedSession& session) { return ids.contains(session->id); });
  if (removed > 0) {
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::clearRecent() {
  checkThread();
  const Before before = capture();
  const auto removed =
      std::erase_if(sessionList, [](const SharedSession& session) { return !session->isActive(); });
  if (removed > 0) {
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::pruneCompleted(std::chrono::duration<double> olderThan, Date now) {
  checkThread();
  const Before before = capture();
  const auto removed = std::erase_if(sessionList, [&](const SharedSession& session) {
    return session->completedAt &&
           std::chrono::duration<double>(now - *session->completedAt) > olderThan;
  });
  if (removed > 0) {
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::reconcilePendingReplies(const std::function<bool(const UUID&)>& isLive) {
  checkThread();
  const Before before = capture();
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    const AgentSession& current = *sessionList[i];
    if (current.pendingReplies.empty() && !current.pendingReply) {
      continue;
    }
    AgentSession retained = current;
    retained.retainPendingReplies(isLive);
    if (!(retained == current)) {
      replaceAt(i, std::move(retained));
    }
  }
  commit(false, AttentionRefresh::ifMissing, before);
}

void AgentActivityService::resolvePendingReply(const UUID& replyId, const std::string& sessionId) {
  checkThread();
  const auto position = positions.find(sessionId);
  if (position == positions.end()) {
    return;
  }
  const Before before = capture();
  AgentSession session = *sessionList[position->second];
  if (session.removePendingReply(replyId)) {
    replaceAt(position->second, std::move(session));
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::reconcileRestoredWorkflow(const AgentEvent& event) {
  checkThread();
  if (event.protocolVersion != currentProtocolVersion || event.provider != AgentProvider::grok) {
    return;
  }
  const auto position = positions.find(event.sessionId);
  if (position == positions.end()) {
    return;
  }
  const Before before = capture();
  AgentSession session = *sessionList[position->second];
  if (session.reconcileRestoredWorkflow(event)) {
    replaceAt(position->second, std::move(session));
    commit(true, AttentionRefresh::keep, before);
  }
}

void AgentActivityService::reconcileUnverifiedActiveSessions(
    const ProcessAlive& processAlive, const ProcessStartedAt& processStartedAt) {
  checkThread();
  const ProcessStartedAt& startedAt =
      processStartedAt ? processStartedAt : ProcessStartedAt(AgentProcessIdentity::startedAt);
  const Before before = capture();
  bool changed = false;
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    const AgentSession& current = *sessionList[i];
    if (!current.isActive() || current.state == AgentState::unknown) {
      continue;
    }
    bool gone = false;
    if (current.origin && current.origin->processIdentifier) {
      const std::int32_t pid = *current.origin->processIdentifier;
      if (!processAlive(pid)) {
        gone = true;
      } else if (const auto& recorded = current.origin->processStartedAt) {
        const auto actual = startedAt(pid);
        gone = !actual || std::chrono::abs(*actual - *recorded) >= std::chrono::milliseconds(1);
      }
    }
    if (gone) {
      AgentSession completed = current;
      completed.complete(AgentState::completed, current.updatedAt);
      const std::string id = completed.id;
      const Date date = completed.updatedAt;
      replaceAt(i, std::move(completed));
      completeActiveDescendants(id, AgentState::completed, date);
      changed = true;
    } else if (current.state != AgentState::waitingForUser) {
      AgentSession marked = current;
      marked.markUnknown();
      if (!(marked == current)) {
        replaceAt(i, std::move(marked));
        changed = true;
      }
    }
  }
  if (changed) {
    commit(true, AttentionRefresh::recompute, before);
  }
}

void AgentActivityService::completeUnknownSessions() {
  checkThread();
  const Before before = capture();
  bool changed = false;
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    if (sessionList[i]->state != AgentState::unknown) {
      continue;
    }
    AgentSession completed = *sessionList[i];
    const Date date = completed.updatedAt;
    completed.complete(AgentState::completed, date);
    const std::string id = completed.id;
    replaceAt(i, std::move(completed));
    completeActiveDescendants(id, AgentState::completed, date);
    changed = true;
  }
  if (changed) {
    commit(true, AttentionRefresh::recompute, before);
  }
}

void AgentActivityService::applyRestoredLifecycle(const std::string& sessionId, AgentState state,
                                                  const std::optional<std::string>& activity,
                                                  Date date) {
  checkThread();
  const auto position = positions.find(sessionId);
  if (position == positions.end()) {
    return;
  }
  const Before before = capture();
  AgentSession session = *sessionList[position->second];
  if (!session.applyRestoredLifecycle(state, activity, date)) {
    return;
  }
  replaceAt(position->second, std::move(session));
  if (isTerminal(state)) {
    completeActiveDescendants(sessionId, state, date);
  }
  commit(true, AttentionRefresh::recompute, before);
}

}  // namespace tarvel
