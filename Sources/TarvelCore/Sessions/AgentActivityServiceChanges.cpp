#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentProcessIdentity.hpp"
#include "TarvelCore/Platform/Log.hpp"
#include "TarvelCore/Sessions/AgentActivityService.hpp"

// The activity service's changes: folding an event in, resolving and reconciling prompts and
// restored sessions (each recorded on the ordered sessions and committed once), and the
// operations that replace, remove and prune sessions (made on the laid-out list).
namespace tarvel {
namespace {

const Log::Logger changesLogger{"activity"};

}  // namespace

// ---- Recorded changes ----

// A session changed twice in one operation (folded then completed, or marked then completed as a
// descendant) keeps the value it had before the first.
void AgentActivityService::record(std::vector<Change>& changes, Order::iterator entry,
                                  AgentSession session) {
  bool recorded = false;
  if (changes.size() < 16) {
    recorded = std::any_of(changes.begin(), changes.end(),
                           [&entry](const Change& change) { return change.entry == entry; });
  } else {
    // Operations over many sessions (a restart's) look the entries up instead of scanning.
    if (recordedEntries.empty()) {
      for (const Change& change : changes) {
        recordedEntries.insert(&*change.entry);
      }
    }
    recorded = !recordedEntries.insert(&*entry).second;
  }
  if (!recorded) {
    changes.push_back(Change{.entry = entry, .before = entry->second, .key = entry->first});
  }
  entry->second = SharedSession(std::move(session));
}

// The sessions holding pending prompts.
std::vector<AgentActivityService::Order::iterator> AgentActivityService::sessionsWithPrompts() {
  std::vector<Order::iterator> found;
  found.reserve(withPrompts.size());
  for (const std::string& id : withPrompts) {
    found.push_back(entries.find(id)->second);
  }
  return found;
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
    changesLogger.error(
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

  commitChanges(changes, [&] {
    if (advanced) {
      return isTerminal(resolved) ? assignAttention(latestWaitingAttentionEvent())
                                  : updateAttentionPresentation(event);
    }
    // The parent rule may have completed the session presented as waiting: present the next.
    return completedByParent && updateAttentionPresentation(event);
  });
  return true;
}

// Commits the recorded changes: moves what changed key to where a stable sort of the list would
// put it (a change that keeps every key, such as an event that did not advance its session,
// moves nothing), patches the laid-out list if it is in use, updates the index (or rebuilds it
// when the groups changed shape), lets `refreshAttention` update the attention event (it returns
// whether it did), publishes the snapshot, and notifies.
void AgentActivityService::commitChanges(std::vector<Change>& changes,
                                         const std::function<bool()>& refreshAttention) {
  const bool added = std::any_of(changes.begin(), changes.end(),
                                 [](const Change& change) { return !change.before; });
  recordedEntries.clear();
  const bool positionsChanged = reorder(changes) || added;
  // A list read since the last change is patched (as when onSessionsChanged reads it after every
  // change); one left unread, or hit by many changes at once, is laid out afresh when next read.
  if (!listReadSinceChange || changes.size() > 64) {
    listStale = true;
  }
  listReadSinceChange = false;
  patchList(changes);
  positionsStale = positionsStale || positionsChanged;

  bool valueChanged = added;
  std::vector<SessionIndex::Change> indexChanges;
  indexChanges.reserve(changes.size());
  for (const Change& change : changes) {
    const AgentSession& after = *change.entry->second;
    valueChanged = valueChanged || !change.before || !(*change.before)->sameAs(after);
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

  // Ids are distinct, so with unchanged group shapes the index is a function of the session
  // values: it differs exactly when some session does; a moved session always differs in its key.
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
  // Only the sessions holding prompts can change; none changes its place.
  std::vector<Change> changes;
  for (const Order::iterator entry : sessionsWithPrompts()) {
    const AgentSession& current = *entry->second;
    AgentSession retained = current;
    retained.retainPendingReplies(isLive);
    if (!(retained == current)) {
      record(changes, entry, std::move(retained));
    }
  }
  commitChanges(changes, [this] { return refreshAttentionIfMissing(); });
}

void AgentActivityService::resolvePendingReply(const UUID& replyId, const std::string& sessionId) {
  checkThread();
  const auto found = entries.find(sessionId);
  if (found == entries.end()) {
    return;
  }
  AgentSession session = *found->second->second;
  if (session.removePendingReply(replyId)) {
    std::vector<Change> changes;
    record(changes, found->second, std::move(session));
    commitChanges(changes, [this] { return refreshAttentionIfMissing(); });
  }
}

bool AgentActivityService::endWaiting(const std::string& sessionId, AgentState state) {
  checkThread();
  const auto found = entries.find(sessionId);
  if (found == entries.end()) {
    return false;
  }
  const AgentSession& current = *found->second->second;
  if (current.state != AgentState::waitingForUser || !current.pendingReplies.empty() ||
      state == AgentState::waitingForUser || isTerminal(state)) {
    return false;
  }
  AgentSession session = current;
  session.state = state;
  std::vector<Change> changes;
  record(changes, found->second, std::move(session));
  commitChanges(changes, [this] { return assignAttention(latestWaitingAttentionEvent()); });
  return true;
}

void AgentActivityService::reconcileRestoredWorkflow(const AgentEvent& event) {
  checkThread();
  if (event.protocolVersion != currentProtocolVersion ||
      !AgentCatalogue::habitsOf(event.provider).reportsWorkflows) {
    return;
  }
  const auto found = entries.find(event.sessionId);
  if (found == entries.end()) {
    return;
  }
  AgentSession session = *found->second->second;
  if (session.reconcileRestoredWorkflow(event)) {
    std::vector<Change> changes;
    record(changes, found->second, std::move(session));
    commitChanges(changes, [] { return false; });
  }
}

void AgentActivityService::reconcileUnverifiedActiveSessions(
    const ProcessAlive& processAlive, const ProcessStartedAt& processStartedAt) {
  checkThread();
  const ProcessStartedAt& startedAt =
      processStartedAt ? processStartedAt : ProcessStartedAt(AgentProcessIdentity::startedAt);
  std::vector<Change> changes;
  for (auto entry = ordered.begin(); entry != ordered.end(); ++entry) {
    const AgentSession& current = *entry->second;
    if (!current.isActive() || current.state == AgentState::unknown) {
      continue;
    }
    bool gone = false;
    // A process of another machine cannot be looked up here.
    if (current.origin && current.origin->processIdentifier && !current.origin->remoteHost()) {
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
      record(changes, entry, std::move(completed));
      completeActiveDescendants(changes, id, AgentState::completed, date);
    } else if (current.state != AgentState::waitingForUser) {
      AgentSession marked = current;
      marked.markUnknown();
      if (!(marked == current)) {
        record(changes, entry, std::move(marked));
      }
    }
  }
  if (!changes.empty()) {
    commitChanges(changes, [this] { return assignAttention(latestWaitingAttentionEvent()); });
  }
}

std::vector<std::string> AgentActivityService::completeSessionsOfEndedAgents(
    const std::function<bool(const AgentOrigin&)>& stillRuns, Date now) {
  checkThread();
  std::vector<std::string> ended;
  // Several sessions may share one agent process (a parent and its subagents).
  std::map<std::pair<std::int32_t, std::optional<Date>>, bool> asked;
  std::vector<Change> changes;
  for (auto entry = ordered.begin(); entry != ordered.end(); ++entry) {
    const AgentSession& current = *entry->second;
    // A process of another machine cannot be looked up here.
    if (!current.isActive() || !current.origin || !current.origin->processIdentifier ||
        current.origin->remoteHost()) {
      continue;
    }
    const auto key = std::pair(*current.origin->processIdentifier, current.origin->processStartedAt);
    auto found = asked.find(key);
    if (found == asked.end()) {
      found = asked.emplace(key, stillRuns(*current.origin)).first;
    }
    if (found->second) {
      continue;
    }
    AgentSession completed = current;
    completed.complete(AgentState::completed, std::max(now, current.updatedAt));
    completed.pendingReplies.clear();
    const std::string id = completed.id;
    const Date date = completed.updatedAt;
    record(changes, entry, std::move(completed));
    completeActiveDescendants(changes, id, AgentState::completed, date);
    ended.push_back(id);
  }
  if (!changes.empty()) {
    commitChanges(changes, [this] { return assignAttention(latestWaitingAttentionEvent()); });
  }
  return ended;
}

void AgentActivityService::completeUnknownSessions() {
  checkThread();
  std::vector<Change> changes;
  for (auto entry = ordered.begin(); entry != ordered.end(); ++entry) {
    if (entry->second->state != AgentState::unknown) {
      continue;
    }
    AgentSession completed = *entry->second;
    const Date date = completed.updatedAt;
    completed.complete(AgentState::completed, date);
    const std::string id = completed.id;
    record(changes, entry, std::move(completed));
    completeActiveDescendants(changes, id, AgentState::completed, date);
  }
  if (!changes.empty()) {
    commitChanges(changes, [this] { return assignAttention(latestWaitingAttentionEvent()); });
  }
}

void AgentActivityService::applyRestoredLifecycle(const std::string& sessionId, AgentState state,
                                                  const std::optional<std::string>& activity,
                                                  Date date) {
  checkThread();
  const auto found = entries.find(sessionId);
  if (found == entries.end()) {
    return;
  }
  AgentSession session = *found->second->second;
  if (!session.applyRestoredLifecycle(state, activity, date)) {
    return;
  }
  std::vector<Change> changes;
  record(changes, found->second, std::move(session));
  if (isTerminal(state)) {
    completeActiveDescendants(changes, sessionId, state, date);
  }
  commitChanges(changes, [this] { return assignAttention(latestWaitingAttentionEvent()); });
}

}  // namespace tarvel
