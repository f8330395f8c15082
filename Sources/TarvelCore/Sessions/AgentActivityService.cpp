#include "TarvelCore/Sessions/AgentActivityService.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "TarvelCore/Models/AgentCatalogue.hpp"

// The activity service's reads, lists and the bookkeeping its changes share; the changes
// themselves are in AgentActivityServiceChanges.cpp.
namespace tarvel {
namespace {

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

// A session that only ever announced its start, of an agent whose starts open no session.
bool isOrphanedStart(const AgentSession& session) {
  if (!AgentCatalogue::habitsOf(session.provider).startsOpenNoSession ||
      session.state != AgentState::starting || session.recentEvents.empty()) {
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

bool AgentActivityService::isTerminal(AgentState state) {
  return state == AgentState::completed || state == AgentState::failed;
}

int AgentActivityService::rankOf(const AgentSession& session) {
  return (session.needsAttention() ? 0 : 2) + (session.isActive() ? 0 : 1);
}

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

bool AgentActivityService::OrderKey::operator<(const OrderKey& other) const {
  if (rank != other.rank) {
    return rank < other.rank;
  }
  if (updatedAt != other.updatedAt) {
    return updatedAt > other.updatedAt;
  }
  return sequence < other.sequence;
}

std::size_t AgentActivityService::StringHash::operator()(std::string_view text) const noexcept {
  return SessionIndex::IDHash{}(text);
}

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
  refreshList();
  listReadSinceChange = true;
  return sessionList;
}
const std::optional<AgentEvent>& AgentActivityService::attentionEvent() const {
  checkThread();
  return attention;
}
const NotchActivitySnapshot& AgentActivityService::notchSnapshot() const {
  checkThread();
  refreshSnapshot();
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
  refreshPositions();
  return positions;
}

const SessionList& AgentActivityService::activeSessions() const {
  checkThread();
  refreshSnapshot();
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
  refreshSnapshot();
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
  refreshSnapshot();
  return snapshot.attentionCount();
}
SessionList AgentActivityService::recentSessions() const {
  checkThread();
  SessionList result;
  for (const auto& [key, session] : ordered) {
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

// ---- Lists laid out when read ----

void AgentActivityService::refreshList() const {
  if (!listStale) {
    return;
  }
  // Assigning over the old list keeps the reference counts of the records that stayed.
  if (!ordered.empty()) {
    sessionList.resize(ordered.size(), ordered.begin()->second);
  } else {
    sessionList.clear();
  }
  listKeys.resize(ordered.size());
  std::size_t i = 0;
  for (const auto& [key, session] : ordered) {
    listKeys[i] = key;
    sessionList[i++] = session;
  }
  listStale = false;
}

void AgentActivityService::refreshPositions() const {
  if (!positionsStale) {
    return;
  }
  positions.clear();
  positions.reserve(ordered.size());
  std::size_t i = 0;
  for (const auto& [key, session] : ordered) {
    positions.emplace(std::string_view(entries.find(session->id)->first), i++);
  }
  positionsStale = false;
}

void AgentActivityService::refreshSnapshot() const {
  if (!snapshotListsStale) {
    return;
  }
  snapshot.activeSessions = sessionIndexValue.activeSessions();
  snapshot.attentionSessions = sessionIndexValue.attentionSessions();
  snapshotListsStale = false;
}

// ---- Internals ----

void AgentActivityService::beginListChange() {
  refreshList();
  refreshPositions();
  refreshSnapshot();
}

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
  std::erase_if(restored, isOrphanedStart);
  for (AgentSession& session : restored) {
    const std::string oldID = session.id;
    namespaceIdentities(session);
    if (attention && attention->sessionId == oldID && attention->provider == session.provider) {
      attention->sessionId = session.id;
    }
  }
  // One session per id (each id now begins with its provider's name, so this is one per provider
  // and id): the later update wins, the first met on a tie.
  std::unordered_map<std::string, std::size_t> keptByID;
  std::vector<AgentSession> kept;
  kept.reserve(restored.size());
  for (AgentSession& session : restored) {
    const auto [found, inserted] = keptByID.try_emplace(session.id, kept.size());
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
  sessionIndexValue = SessionIndex(sessionList);
  adoptList();
}

// Takes the list, which is in session order, as the ordered sessions (equal keys by position).
void AgentActivityService::adoptList() {
  ordered.clear();
  entries.clear();
  withPrompts.clear();
  listKeys.clear();
  listKeys.reserve(sessionList.size());
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    const SharedSession& session = sessionList[i];
    const auto sequence = static_cast<std::int64_t>(i);
    const OrderKey key{rankOf(*session), session->updatedAt, sequence};
    const auto entry = ordered.emplace_hint(ordered.end(), key, session);
    entries.insert_or_assign(session->id, entry);
    listKeys.push_back(key);
    if (session->pendingReply || !session->pendingReplies.empty()) {
      withPrompts.insert(session->id);
    }
  }
  firstSequence = 0;
  lastSequence = static_cast<std::int64_t>(sessionList.size()) - 1;
  listStale = false;
  positionsStale = true;
}

std::optional<AgentEvent> AgentActivityService::latestWaitingAttentionEvent() const {
  const auto first = sessionIndexValue.firstAttentionSession();
  if (!first) {
    return std::nullopt;
  }
  return attentionEventFor(**first);
}

bool AgentActivityService::updateAttentionPresentation(const AgentEvent& event) {
  if (event.resolvedState() == AgentState::waitingForUser ||
      (attention && attention->sessionId == event.sessionId)) {
    return assignAttention(latestWaitingAttentionEvent());
  }
  return false;
}

bool AgentActivityService::refreshAttentionIfMissing() {
  if (attention && !sessionIndexValue.session(attention->sessionId)) {
    return assignAttention(latestWaitingAttentionEvent());
  }
  return false;
}

bool AgentActivityService::assignAttention(std::optional<AgentEvent> next) {
  if (next == attention) {
    return false;
  }
  attention = std::move(next);
  return true;
}

void AgentActivityService::commit(bool orderSessions, AttentionRefresh refresh,
                                  const Before& before) {
  if (orderSessions) {
    order();
  }
  rebuildLookups();
  switch (refresh) {
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
  notify(changed);
}

void AgentActivityService::notify(const std::vector<Property>& changed) {
  if (observers.empty()) {
    return;
  }
  const auto current = observers;  // an observer may remove itself
  for (const Property property : changed) {
    for (const auto& [token, observer] : current) {
      observer(property);
    }
  }
}

}  // namespace tarvel
