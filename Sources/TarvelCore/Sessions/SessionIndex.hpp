#pragma once

#include <memory>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SharedSession.hpp"

namespace tarvel {

// The lookups and groups of one session list, as a value: sessions by id, children by parent
// id, groups (a root with its sub-agent descendants, depth first) in group order, the active and
// waiting visible sessions, and the notch snapshot. A session is visible when neither it nor its
// group root is an internal helper. An index built without repeated ids or parent cycles keeps
// its orders in trees and can be updated in place; its long lists are laid out when read.
// Copies share one body, so copying costs a reference count. The string_view keys of the maps
// (and the root ids) view ids the index owns: they stay valid as long as this index or a copy of
// it lives. `update` changes a body only while no copy shares it, so every copy stays a value.
// Thread: a copy may be read on any thread; `update` only from the thread that owns the copy.
class SessionIndex {
 public:
  struct GroupAggregate {
    bool needsAttention = false;  // some member waits for the user or failed
    bool isActive = false;        // some member is active
    Date updatedAt{};             // the latest member update (the root's when it has none)
    bool operator==(const GroupAggregate&) const = default;
  };

  // Hashes a session id by its length and its first 8 and last 16 bytes, where ids differ
  // (a provider's raw value, ":" and a UUID); ids that share those bytes only cost an extra
  // comparison.
  struct IDHash {
    std::size_t operator()(std::string_view id) const noexcept;
  };
  template <typename Value>
  using Map = std::pmr::unordered_map<std::string_view, Value, IDHash>;

  // The index of no sessions.
  SessionIndex();
  // Builds the index of the list, in session order; when ids repeat, the later session wins.
  explicit SessionIndex(SessionList sessions);
  explicit SessionIndex(std::vector<AgentSession> sessions);

  static SessionIndex empty() { return {}; }

  const Map<SharedSession>& sessionsByID() const;
  const Map<SessionList>& childrenByParentID() const;  // children in index order
  const SessionList& hierarchicalSessions() const;     // every group, members depth first
  const SessionList& activeSessions() const;
  const std::vector<AgentProvider>& activeProviders() const;
  const SessionList& attentionSessions() const;
  const SessionList& groupRoots() const;
  const Map<SessionList>& groupMembersByRootID() const;  // the root first
  const Map<std::string_view>& groupRootIDBySessionID() const;
  const Map<GroupAggregate>& groupAggregates() const;

  // The ids of all descendants of the session (not the id itself); cycles end the walk.
  std::unordered_set<std::string> descendantIDs(std::string_view id) const;
  // The id of the session's group root, absent for an unknown id.
  std::optional<std::string> rootID(std::string_view id) const;
  // The session with this id, absent when unknown.
  std::optional<SharedSession> session(std::string_view id) const;
  // Whether neither the session nor its group root is an internal helper.
  bool isVisible(const AgentSession& session) const;

  NotchActivitySnapshot notchSnapshot(const std::optional<AgentEvent>& attentionEvent) const;
  // The snapshot without its two long lists (activeSessions and attentionSessions stay empty):
  // costs the walk of the listed groups, not of every session.
  NotchActivitySnapshot notchSnapshotWithoutLists(
      const std::optional<AgentEvent>& attentionEvent) const;
  // The first of attentionSessions, without building that list.
  std::optional<SharedSession> firstAttentionSession() const;

  // One session replaced (`before` present) or added (`before` absent) in the list the index was
  // built from.
  struct Change {
    std::optional<SharedSession> before;
    SharedSession after;
  };
  struct UpdateResult {
    bool applied = false;           // false: nothing changed; build a new index instead
    bool activeChanged = false;     // activeSessions differs
    bool attentionChanged = false;  // attentionSessions differs
  };
  // Brings the index up to date with the changes in place, at the cost of the groups they touch.
  // Refused (applied false, index untouched) while a copy shares this index, and for changes that
  // move sessions between groups: a new parent link, a changed internal-helper flag, an added
  // session that others already name as parent, or an index with repeated ids or parent cycles.
  UpdateResult update(const std::vector<Change>& changes);

  // Equal when every field is equal.
  bool operator==(const SessionIndex& other) const;

 private:
  struct Storage;
  void appendRelatedSessions(NotchActivitySnapshot& snapshot) const;
  // AgentTaskTitle::isHousekeeping, without lowercasing the whole title when it is plain ASCII
  // (then ASCII case folding gives the same answer); other titles take the full rule.
  static bool isHousekeepingTitle(std::string_view title);
  std::shared_ptr<Storage> storage;
};

// Index order: needing attention first, then active, then the latest update, then the smaller id.
bool precedesInIndexOrder(const AgentSession& a, const AgentSession& b);

}  // namespace tarvel
