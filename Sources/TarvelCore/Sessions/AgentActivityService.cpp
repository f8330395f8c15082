#include "TarvelCore/Sessions/AgentActivityService.hpp"

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

// Session order ranks: waiting, failed, active, others.
int rankOf(const AgentSession& session) {
  return (session.needsAttention() ? 0 : 2) + (session.isActive() ? 0 : 1);
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
    // The later position of a repeated id is the one kept.
    positions.insert_or_assign(std::string_view(entries.find(session->id)->first), i++);
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
  sessionIndexValue = SessionIndex(sessionList);
  adoptList();
}

// Takes the list as the session order. A list sorted by its keys is keyed as it stands (equal keys
// by position); any other is kept by position alone until a sort restores the keys.
void AgentActivityService::adoptList() {
  orderFollowsKeys = true;
  for (std::size_t i = 1; i < sessionList.size() && orderFollowsKeys; ++i) {
    const AgentSession& previous = *sessionList[i - 1];
    const AgentSession& current = *sessionList[i];
    const int previousRank = rankOf(previous);
    const int currentRank = rankOf(current);
    orderFollowsKeys = previousRank < currentRank ||
                       (previousRank == currentRank && previous.updatedAt >= current.updatedAt);
  }
  ordered.clear();
  entries.clear();
  withPrompts.clear();
  listKeys.clear();
  listKeys.reserve(sessionList.size());
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    const SharedSession& session = sessionList[i];
    const auto sequence = static_cast<std::int64_t>(i);
    const OrderKey key = orderFollowsKeys ? OrderKey{rankOf(*session), session->updatedAt, sequence}
                                          : OrderKey{.sequence = sequence};
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

void AgentActivityService::replaceAt(std::size_t position, AgentSession session) {
  sessionList[position] = SharedSession(std::move(session));
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

// In place needs a list that follows its keys, and distinct ids (`entries` finds every session).
bool AgentActivityService::canChangeInPlace() const {
  return orderFollowsKeys && entries.size() == ordered.size();
}

bool AgentActivityService::assignAttention(std::optional<AgentEvent> next) {
  if (next == attention) {
    return false;
  }
  attention = std::move(next);
  return true;
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

// ---- In-place changes ----

void AgentActivityService::record(std::vector<Change>& changes, Order::iterator entry,
                                  AgentSession session) {
  // Only the event's own session (the first change) is changed twice: folded, then completed.
  if (changes.empty() || changes.front().entry != entry) {
    changes.push_back(Change{.entry = entry, .before = entry->second, .key = entry->first});
  }
  entry->second = SharedSession(std::move(session));
}

bool AgentActivityService::completeIfParentTerminal(std::vector<Change>& changes,
                                                    Order::iterator entry, Date date) {
  const AgentSession& session = *entry->second;
  if (!session.isActive() || !session.parentSessionId) {
    return false;
  }
  const auto parentEntry = entries.find(*session.parentSessionId);
  if (parentEntry == entries.end()) {
    return false;
  }
  const AgentSession& parent = *parentEntry->second->second;
  if (!isTerminal(parent.state)) {
    return false;
  }
  AgentSession completed = session;
  completed.complete(parent.state, std::max(date, parent.updatedAt));
  record(changes, entry, std::move(completed));
  return true;
}

// Uses the index as it was before this change, as the sessions' parent links were then.
void AgentActivityService::completeActiveDescendants(std::vector<Change>& changes,
                                                     const std::string& id, AgentState state,
                                                     Date date) {
  for (const std::string& descendant : sessionIndexValue.descendantIDs(id)) {
    const auto found = entries.find(descendant);
    if (found == entries.end() || !found->second->second->isActive()) {
      continue;
    }
    AgentSession completed = *found->second->second;
    completed.complete(state, date);
    record(changes, found->second, std::move(completed));
  }
}

// Moves the changed sessions whose keys changed to where a stable sort of the whole list would
// put them. The others are still sorted, so a moved session lands among those of its new key:
// after all of them when its key moved earlier (they were all before it), before all of them when
// it moved later (they were all after it); movers of one key keep their previous order, and the
// added session, last in the list before the sort, goes after everything of its key. Returns
// whether any session's position changed: that is when some mover's neighbours differ.
bool AgentActivityService::reorder(std::vector<Change>& changes) {
  struct Mover {
    Change* change;
    bool toEnd;  // to the end of its key's run (moved earlier, or added)
    bool added;
  };
  const auto precedes = [](int rankA, Date dateA, int rankB, Date dateB) {
    return rankA < rankB || (rankA == rankB && dateA > dateB);
  };
  std::vector<Mover> movers;
  for (Change& change : changes) {
    const AgentSession& session = *change.entry->second;
    const OrderKey& key = change.entry->first;
    const int rank = rankOf(session);
    const bool added = !change.before;
    if (!added && rank == key.rank && session.updatedAt == key.updatedAt) {
      continue;
    }
    movers.push_back(
        {&change, added || precedes(rank, session.updatedAt, key.rank, key.updatedAt), added});
  }
  if (movers.empty()) {
    return false;
  }
  // In previous list order; the added session was last.
  std::sort(movers.begin(), movers.end(), [](const Mover& a, const Mover& b) {
    if (a.added != b.added) {
      return b.added;
    }
    return a.change->entry->first < b.change->entry->first;
  });
  const auto neighbours = [this](Order::iterator entry) {
    const void* previous = entry == ordered.begin() ? nullptr : &*std::prev(entry);
    const auto next = std::next(entry);
    return std::pair<const void*, const void*>(previous, next == ordered.end() ? nullptr : &*next);
  };
  std::vector<std::pair<const void*, const void*>> before;
  before.reserve(movers.size());
  std::vector<Order::node_type> nodes;
  nodes.reserve(movers.size());
  for (const Mover& mover : movers) {
    before.push_back(neighbours(mover.change->entry));
  }
  for (const Mover& mover : movers) {
    nodes.push_back(ordered.extract(mover.change->entry));
    const AgentSession& session = *nodes.back().mapped();
    nodes.back().key().rank = rankOf(session);
    nodes.back().key().updatedAt = session.updatedAt;
  }
  for (std::size_t i = 0; i < movers.size(); ++i) {
    if (movers[i].toEnd) {
      nodes[i].key().sequence = ++lastSequence;
    }
  }
  for (std::size_t i = movers.size(); i-- > 0;) {
    if (!movers[i].toEnd) {
      nodes[i].key().sequence = --firstSequence;
    }
  }
  for (std::size_t i = 0; i < movers.size(); ++i) {
    const auto entry = ordered.insert(std::move(nodes[i])).position;
    movers[i].change->entry = entry;
    entries.find(entry->second->id)->second = entry;
  }
  bool moved = false;
  for (std::size_t i = 0; i < movers.size() && !moved; ++i) {
    moved = movers[i].added || neighbours(movers[i].change->entry) != before[i];
  }
  return moved;
}

// Publishes the snapshot from the updated index: the short fields are rebuilt and compared, the
// two long lists are known to differ exactly when the update says so, and are laid out when read.
bool AgentActivityService::publishChanges(const SessionIndex::UpdateResult& update) {
  NotchActivitySnapshot next = sessionIndexValue.notchSnapshotWithoutLists(attention);
  const bool changed = update.activeChanged || update.attentionChanged ||
                       next.activeProviders != snapshot.activeProviders ||
                       next.activeGroupCount != snapshot.activeGroupCount ||
                       next.attentionSession != snapshot.attentionSession ||
                       next.listSessions != snapshot.listSessions ||
                       next.relatedSessions != snapshot.relatedSessions ||
                       next.hiddenActiveGroupCount != snapshot.hiddenActiveGroupCount;
  if (!changed) {
    return false;
  }
  snapshot.activeProviders = std::move(next.activeProviders);
  snapshot.activeGroupCount = next.activeGroupCount;
  snapshot.attentionSession = std::move(next.attentionSession);
  snapshot.listSessions = std::move(next.listSessions);
  snapshot.relatedSessions = std::move(next.relatedSessions);
  snapshot.hiddenActiveGroupCount = next.hiddenActiveGroupCount;
  snapshotListsStale = snapshotListsStale || update.activeChanged || update.attentionChanged;
  return true;
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

  if (!canChangeInPlace()) {
    return ingestByRebuilding(event);
  }

  std::vector<Change> changes;
  bool advanced = true;
  Order::iterator entry;
  if (const auto known = entries.find(event.sessionId); known != entries.end()) {
    entry = known->second;
    AgentSession folded = *entry->second;
    advanced = folded.apply(event);
    record(changes, entry, std::move(folded));
  } else {
    // Appended: after every session of equal key, as a stable sort leaves the last one.
    AgentSession created = AgentSession::fromEvent(event);
    const OrderKey key{rankOf(created), created.updatedAt, ++lastSequence};
    entry = ordered.emplace(key, SharedSession(std::move(created))).first;
    entries.emplace(event.sessionId, entry);
    changes.push_back(Change{.entry = entry, .key = key});
  }
  const bool completedByParent = completeIfParentTerminal(changes, entry, event.timestamp);
  const AgentState resolved = event.resolvedState();
  if (advanced && isTerminal(resolved)) {
    completeActiveDescendants(changes, event.sessionId, resolved, event.timestamp);
  }

  commitInPlace(changes, advanced || completedByParent, [&] {
    if (advanced) {
      return isTerminal(resolved) ? assignAttention(latestWaitingAttentionEvent())
                                  : updateAttentionPresentation(event);
    }
    // The parent rule may have completed the session presented as waiting: present the next.
    return completedByParent && updateAttentionPresentation(event);
  });
  return true;
}

// Finishes a change made in place: moves what changed key (when ordering), patches the laid-out
// list if it is in use, updates the index (or rebuilds it when the groups changed shape), lets
// `refreshAttention` update the attention event (it returns whether it did), publishes the
// snapshot, and notifies.
void AgentActivityService::commitInPlace(std::vector<Change>& changes, bool orderSessions,
                                         const std::function<bool()>& refreshAttention) {
  const bool added = std::any_of(changes.begin(), changes.end(),
                                 [](const Change& change) { return !change.before; });
  bool positionsChanged = added;
  if (orderSessions) {
    positionsChanged = reorder(changes) || added;
  } else {
    for (const Change& change : changes) {
      const AgentSession& session = *change.entry->second;
      if (rankOf(session) != change.entry->first.rank ||
          session.updatedAt != change.entry->first.updatedAt) {
        // Not reordered, so the list no longer follows the keys: the next change sorts in full.
        orderFollowsKeys = false;
      }
    }
  }
  patchList(changes);
  positionsStale = positionsStale || positionsChanged;

  bool valueChanged = added;
  std::vector<SessionIndex::Change> indexChanges;
  indexChanges.reserve(changes.size());
  for (const Change& change : changes) {
    const AgentSession& after = *change.entry->second;
    valueChanged = valueChanged || !change.before || !(**change.before == after);
    indexChanges.push_back({change.before, change.entry->second});
    if (after.pendingReply || !after.pendingReplies.empty()) {
      withPrompts.insert(after.id);
    } else if (const auto found = withPrompts.find(after.id); found != withPrompts.end()) {
      withPrompts.erase(found);
    }
  }
  const SessionIndex::UpdateResult update = sessionIndexValue.update(indexChanges);
  if (!update.applied) {
    // The groups changed shape: build the index anew (the snapshot's lists first catch up with
    // the index they were taken from).
    refreshSnapshot();
    refreshList();
    sessionIndexValue = SessionIndex(sessionList);
  }

  const bool attentionChanged = refreshAttention();
  bool snapshotChanged = false;
  if (update.applied) {
    snapshotChanged = publishChanges(update);
  } else {
    NotchActivitySnapshot published = sessionIndexValue.notchSnapshot(attention);
    if (!(published == snapshot)) {
      snapshot = std::move(published);
      snapshotChanged = true;
    }
  }
  ++revision;

  // With distinct ids and unchanged group shapes the index is a function of the session values,
  // so it differs exactly when some session does; a moved session always differs in its key.
  std::vector<Property> changed;
  if (valueChanged) {
    changed.push_back(Property::sessions);
  }
  if (attentionChanged) {
    changed.push_back(Property::attentionEvent);
  }
  if (snapshotChanged) {
    changed.push_back(Property::notchSnapshot);
  }
  changed.push_back(Property::historyRevision);
  if (valueChanged) {
    changed.push_back(Property::index);
  }
  if (positionsChanged) {
    changed.push_back(Property::sessionsByID);
  }
  notify(changed);
  if (sessionsChanged) {
    sessionsChanged(sessions());
  }
}

// A list laid out since the last change (one read after every change, as by onSessionsChanged)
// is patched: each changed session is replaced where it stood, or moved to its new place. Costs
// the distance it moves; a list nobody read stays stale and is laid out afresh when read.
void AgentActivityService::patchList(const std::vector<Change>& changes) {
  if (listStale) {
    return;
  }
  const auto positionOf = [this](const OrderKey& key) {
    return static_cast<std::size_t>(std::lower_bound(listKeys.begin(), listKeys.end(), key) -
                                    listKeys.begin());
  };
  for (const Change& change : changes) {
    const OrderKey& key = change.entry->first;
    std::size_t from = sessionList.size();
    if (change.before) {
      from = positionOf(change.key);
    } else {
      sessionList.push_back(change.entry->second);
      listKeys.push_back(key);
    }
    if (!change.before || key < change.key) {
      const std::size_t to = positionOf(key);  // the stale key at `from` sorts after `key`
      std::move_backward(sessionList.begin() + to, sessionList.begin() + from,
                         sessionList.begin() + from + 1);
      std::move_backward(listKeys.begin() + to, listKeys.begin() + from,
                         listKeys.begin() + from + 1);
      from = to;
    } else if (change.key < key) {
      const std::size_t to = positionOf(key) - 1;  // the stale key at `from` sorts before `key`
      std::move(sessionList.begin() + from + 1, sessionList.begin() + to + 1,
                sessionList.begin() + from);
      std::move(listKeys.begin() + from + 1, listKeys.begin() + to + 1, listKeys.begin() + from);
      from = to;
    }
    sessionList[from] = change.entry->second;
    listKeys[from] = key;
  }
}

bool AgentActivityService::ingestByRebuilding(const AgentEvent& event) {
  beginListChange();
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
  beginListChange();
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
  beginListChange();
  const Before before = capture();
  const auto removed = std::erase_if(
      sessionList, [&ids](const SharedSession& session) { return ids.contains(session->id); });
  if (removed > 0) {
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::clearRecent() {
  checkThread();
  beginListChange();
  const Before before = capture();
  const auto removed =
      std::erase_if(sessionList, [](const SharedSession& session) { return !session->isActive(); });
  if (removed > 0) {
    commit(false, AttentionRefresh::ifMissing, before);
  }
}

void AgentActivityService::pruneCompleted(std::chrono::duration<double> olderThan, Date now) {
  checkThread();
  beginListChange();
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
  if (!canChangeInPlace()) {
    beginListChange();
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
    return;
  }
  // Only the sessions holding prompts can change; none changes its place.
  std::vector<Change> changes;
  for (const std::string& id : withPrompts) {
    const Order::iterator entry = entries.find(id)->second;
    const AgentSession& current = *entry->second;
    AgentSession retained = current;
    retained.retainPendingReplies(isLive);
    if (!(retained == current)) {
      record(changes, entry, std::move(retained));
    }
  }
  commitInPlace(changes, false, [this] { return refreshAttentionIfMissing(); });
}

void AgentActivityService::resolvePendingReply(const UUID& replyId, const std::string& sessionId) {
  checkThread();
  if (!canChangeInPlace()) {
    beginListChange();
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
    return;
  }
  const auto found = entries.find(sessionId);
  if (found == entries.end()) {
    return;
  }
  AgentSession session = *found->second->second;
  if (session.removePendingReply(replyId)) {
    std::vector<Change> changes;
    record(changes, found->second, std::move(session));
    commitInPlace(changes, false, [this] { return refreshAttentionIfMissing(); });
  }
}

void AgentActivityService::reconcileRestoredWorkflow(const AgentEvent& event) {
  checkThread();
  if (event.protocolVersion != currentProtocolVersion || event.provider != AgentProvider::grok) {
    return;
  }
  beginListChange();
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
  beginListChange();
  const Before before = capture();
  bool changed = false;
  for (std::size_t i = 0; i < sessionList.size(); ++i) {
    const AgentSession& current = *sessionList[i];
    if (!current.isActive() || current.state == AgentState::unknown) {
      continue;
    }
    bool gone = false;
    // A process of another machine cannot be looked up here.
    if (current.origin && current.origin->processIdentifier && !current.origin->host) {
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
  beginListChange();
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
  beginListChange();
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
