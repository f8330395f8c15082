#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Platform/UUID.hpp"
#include "TarvelCore/Sessions/AgentSession.hpp"
#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SessionIndex.hpp"
#include "TarvelCore/Sessions/SharedSession.hpp"

namespace tarvel {

// The one owner of every agent session: folds incoming events into sessions kept in display
// order, derives the index and the notch snapshot, tracks the event that asks for attention,
// and runs the maintenance around restarts (restore, prune, reconcile with live processes).
// Observers are told which stored property changed, after the whole change, and only when its
// new value differs from the old one. An event costs the sessions it touches (and a logarithm of
// their number), not a pass over all of them; the long lists are laid out when read.
// Thread: confined to the thread that created it, and checked in debug builds (a call from
// another thread aborts); hand events over with a MainQueue. No lock.
class AgentActivityService {
 public:
  enum class Property {
    sessions,
    attentionEvent,
    notchSnapshot,
    historyRevision,
    protocolMismatchDetected,
    onSessionsChanged,
    index,
    sessionsByID,
  };
  using Observer = std::function<void(Property)>;
  using ObserverToken = std::uint64_t;
  using SessionsChanged = std::function<void(const SessionList&)>;
  using ProcessAlive = std::function<bool(std::int32_t)>;
  using ProcessStartedAt = std::function<std::optional<Date>(std::int32_t)>;

  // Restores the sessions: drops sessions made only of starts of an agent whose starts open no
  // session (its row's habits), namespaces ids, keeps one session per provider and id (the later
  // update), clears pending prompts, orders them and publishes the snapshot. Notifies nobody and
  // leaves historyRevision at 0.
  explicit AgentActivityService(std::vector<AgentSession> sessions = {});
  AgentActivityService(const AgentActivityService&) = delete;
  AgentActivityService& operator=(const AgentActivityService&) = delete;

  // Observation. An observer must not add or remove observers while it is being told.
  ObserverToken addObserver(Observer observer);
  void removeObserver(ObserverToken token);

  // The stored properties.
  const SessionList& sessions() const;
  const std::optional<AgentEvent>& attentionEvent() const;
  const NotchActivitySnapshot& notchSnapshot() const;
  std::uint64_t historyRevision() const;
  bool protocolMismatchDetected() const;
  const SessionsChanged& onSessionsChanged() const;
  // Called with the whole list (not a copy) after every committed change. A list read after
  // every change is patched where sessions changed, costing the distance a moved session travels
  // in it; a list left unread costs nothing until it is read, and then a pass over every session.
  void setOnSessionsChanged(SessionsChanged callback);
  const SessionIndex& index() const;
  // Position of each id in sessions() (ids are distinct). The keys view the ids
  // of the sessions: valid until the next operation that changes the service.
  const SessionIndex::Map<std::size_t>& sessionsByID() const;

  // Views of the snapshot and the index.
  const SessionList& activeSessions() const;
  const std::vector<AgentProvider>& activeProviders() const;
  std::int64_t activeGroupCount() const;
  const SessionList& attentionSessions() const;
  std::optional<SharedSession> attentionSession() const;
  const SessionList& listSessions() const;
  std::size_t attentionCount() const;
  SessionList recentSessions() const;  // not active, in session order
  const SessionList& hierarchicalSessions() const;
  SessionIndex sessionIndex() const;
  std::optional<SharedSession> session(std::string_view id) const;
  SessionList children(std::string_view parentId) const;
  std::optional<SharedSession> parent(std::string_view sessionId) const;

  // Folds the event in. False when it was dropped for its protocol version (then nothing but
  // protocolMismatchDetected changes); true otherwise, with exactly one notification.
  bool ingest(AgentEvent event);
  // Replaces every session with the given ones, normalised as by the constructor.
  void replaceSessions(std::vector<AgentSession> sessions);
  void removeSession(const std::string& id);
  void removeSessions(const std::unordered_set<std::string>& ids);
  // Removes every session that is not active.
  void clearRecent();
  // Removes sessions completed strictly more than `olderThan` before `now`.
  void pruneCompleted(std::chrono::duration<double> olderThan, Date now);
  // Keeps only the pending prompts whose reply id is live; always commits.
  void reconcilePendingReplies(const std::function<bool(const UUID&)>& isLive);
  void resolvePendingReply(const UUID& replyId, const std::string& sessionId);
  // The session's wait for a person is over, as the service learnt from its prompt's end rather
  // than from an event: a session that waits (for no prompt held here any more) is now `state`
  // (running: it goes on with an answer; idle: its dialog was dismissed and it waits for its next
  // prompt). Any other session is left as it is; true when it changed.
  bool endWaiting(const std::string& sessionId, AgentState state);
  // Re-applies a workflow event to a restored session of an agent that reports workflows.
  void reconcileRestoredWorkflow(const AgentEvent& event);
  // After a restart: an active session whose agent process is gone (dead, or its id reused by
  // another process) is completed at its last update; one that may still run becomes unknown,
  // except a waiting one. `processStartedAt` defaults to AgentProcessIdentity::startedAt.
  void reconcileUnverifiedActiveSessions(const ProcessAlive& processAlive,
                                         const ProcessStartedAt& processStartedAt = {});
  // While the service runs: every active (or unknown) session of this machine whose recorded
  // agent process has exited (or whose id now names another process) is completed at `now`,
  // with its active descendants. `stillRuns` is asked once per distinct process and start time.
  // Returns the ids of the sessions it completed (not the descendants).
  std::vector<std::string> completeSessionsOfEndedAgents(
      const std::function<bool(const AgentOrigin&)>& stillRuns, Date now);
  // Completes every unknown session (and its active descendants) at its last update.
  void completeUnknownSessions();
  void applyRestoredLifecycle(const std::string& sessionId, AgentState state,
                              const std::optional<std::string>& activity, Date date);

 private:
  enum class AttentionRefresh { ifMissing, recompute };

  // The values of the stored properties before a change, to tell observers what differs.
  struct Before {
    // The records as they were; `index` (built from exactly these) keeps them alive.
    std::vector<const AgentSession*> sessions;
    std::optional<AgentEvent> attentionEvent;
    bool snapshotChanged = false;
    std::uint64_t historyRevision = 0;
    bool protocolMismatchDetected = false;
    SessionIndex index;
  };

  static bool isTerminal(AgentState state);
  // Session order ranks: waiting, failed, active, others.
  static int rankOf(const AgentSession& session);

  // A session's place in session order: needing attention first, then active, then the latest
  // update; `sequence` keeps the previous relative order of sessions with equal keys.
  struct OrderKey {
    int rank = 0;
    Date updatedAt{};
    std::int64_t sequence = 0;
    bool operator<(const OrderKey& other) const;
  };
  using Order = std::map<OrderKey, SharedSession>;
  struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept;
  };
  // One session changed or added by the operation under way, with its place before it.
  struct Change {
    Order::iterator entry;
    std::optional<SharedSession> before;  // absent for an added session
    OrderKey key;
  };

  void checkThread() const;
  void normalize(std::vector<AgentSession>& restored);

  // Changes that replace or remove sessions: they edit the laid-out list, which is then taken
  // as the new order (sorted first when asked) with every lookup rebuilt.
  void beginListChange();
  void order();
  void rebuildLookups();
  void adoptList();
  void commit(bool orderSessions, AttentionRefresh refresh, const Before& before);
  void publishAndNotify(const Before& before);
  void notifyChanges(const Before& before);
  Before capture() const;

  // Every other change is made on the ordered sessions and recorded; committing costs the sessions
  // it touched (and a logarithm of their number).
  void record(std::vector<Change>& changes, Order::iterator entry, AgentSession session);
  bool completeIfParentTerminal(std::vector<Change>& changes, Order::iterator entry, Date date);
  void completeActiveDescendants(std::vector<Change>& changes, const std::string& id,
                                 AgentState state, Date date);
  std::vector<Order::iterator> sessionsWithPrompts();
  bool reorder(std::vector<Change>& changes);
  void patchList(const std::vector<Change>& changes);
  void commitChanges(std::vector<Change>& changes, const std::function<bool()>& refreshAttention);
  bool assignAttention(std::optional<AgentEvent> next);
  bool refreshAttentionIfMissing();
  bool publishChanges(const SessionIndex::UpdateResult& update);

  std::optional<AgentEvent> latestWaitingAttentionEvent() const;
  bool updateAttentionPresentation(const AgentEvent& event);
  void refreshList() const;
  void refreshPositions() const;
  void refreshSnapshot() const;
  void notify(const std::vector<Property>& changed);

  std::thread::id owner;
  // The sessions in session order; `entries` finds each by its id.
  Order ordered;
  std::unordered_map<std::string, Order::iterator, StringHash, std::equal_to<>> entries;
  std::int64_t firstSequence = 0;
  std::int64_t lastSequence = -1;
  // The entries recorded by the operation under way, once it has recorded many.
  std::unordered_set<const void*> recordedEntries;
  // Ids of the sessions that hold pending prompts.
  std::unordered_set<std::string, StringHash, std::equal_to<>> withPrompts;
  // `ordered` as a list (with the key of each), `positions` and the snapshot's two long lists
  // are brought up to date when read; a list read since the last change is patched by the next.
  mutable SessionList sessionList;
  mutable std::vector<OrderKey> listKeys;
  mutable bool listStale = false;
  mutable bool listReadSinceChange = false;
  std::optional<AgentEvent> attention;
  mutable NotchActivitySnapshot snapshot;
  mutable bool snapshotListsStale = false;
  std::uint64_t revision = 0;
  bool mismatchDetected = false;
  SessionsChanged sessionsChanged;
  SessionIndex sessionIndexValue;
  // Keys view the ids kept in `entries`.
  mutable SessionIndex::Map<std::size_t> positions;
  mutable bool positionsStale = false;

  std::vector<std::pair<ObserverToken, Observer>> observers;
  ObserverToken nextToken = 1;
};

// The attention event for a session: its newest waiting event, or one built from the session.
AgentEvent attentionEventFor(const AgentSession& session);

}  // namespace tarvel
