#include "TarvelCore/Sessions/SessionIndex.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>

#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Sessions/SessionIndexStorage.hpp"

namespace tarvel {

std::vector<AgentSession> toSessions(const SessionList& list) {
  std::vector<AgentSession> result;
  result.reserve(list.size());
  for (const SharedSession& session : list) {
    result.push_back(*session);
  }
  return result;
}

SessionList toSessionList(std::vector<AgentSession> sessions) {
  SessionList result;
  result.reserve(sessions.size());
  for (AgentSession& session : sessions) {
    result.emplace_back(std::move(session));
  }
  return result;
}

Json sessionIds(const SessionList& list) {
  Json ids = Json::array();
  for (const SharedSession& session : list) {
    ids.push_back(session->id);
  }
  return ids;
}

std::size_t SessionIndex::IDHash::operator()(std::string_view id) const noexcept {
  const auto load = [&id](std::size_t offset, std::size_t length) {
    std::uint64_t word = 0;
    std::memcpy(&word, id.data() + offset, length);
    return word;
  };
  const std::size_t size = id.size();
  std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ size;
  const auto mix = [&hash](std::uint64_t word) {
    hash ^= word + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
  };
  if (size <= 8) {
    mix(load(0, size));
  } else if (size <= 16) {
    mix(load(0, 8));
    mix(load(size - 8, 8));
  } else {
    mix(load(0, 8));
    mix(load(size - 16, 8));
    mix(load(size - 8, 8));
  }
  return static_cast<std::size_t>(hash);
}

bool precedesInIndexOrder(const AgentSession& a, const AgentSession& b) {
  if (a.needsAttention() != b.needsAttention()) {
    return a.needsAttention();
  }
  if (a.isActive() != b.isActive()) {
    return a.isActive();
  }
  if (a.updatedAt != b.updatedAt) {
    return a.updatedAt > b.updatedAt;
  }
  return a.id < b.id;
}

using namespace sessionIndexParts;

void SessionIndex::Storage::prepareUpdates() {
  for (const SharedSession& root : groupRoots) {
    const std::string_view rootID = groupRootIDBySessionID.find(root->id)->second;
    placeGroup(rootID, root, groupAggregates.find(rootID)->second, true);
  }
  for (const SharedSession& session : activeSessions) {
    const ActiveKey key = activeKey(*session, intern(session->id));
    active.emplace_hint(active.end(), key, session);
    activeByProvider[key.provider].insert(key);
  }
  for (const SharedSession& session : attentionSessions) {
    waiting.emplace_hint(waiting.end(), AttentionKey{session->updatedAt, intern(session->id)},
                         session);
  }
}

// Puts the group of `rootID` (its members and aggregate already stored) into the ordered sets,
// first taking out what an earlier placement put there.
void SessionIndex::Storage::placeGroup(std::string_view rootID, const SharedSession& root,
                                       const GroupAggregate& aggregate, bool isNew) {
  GroupState& group = groups[rootID];
  if (!isNew) {
    groupOrder.erase(group.key);
    if (group.listable) {
      listable.erase(ListKey{group.key.updatedAt, rootID});
    }
    if (group.countsActive) {
      --activeGroupCount;
    }
  }
  group.key = GroupKey{.needsAttention = aggregate.needsAttention,
                       .isActive = aggregate.isActive,
                       .updatedAt = aggregate.updatedAt,
                       .rootID = rootID};
  groupOrder.emplace(group.key, root);
  group.listable = !isHousekeepingTitle(root->task) && !root->isInternalHelper;
  if (group.listable) {
    listable.emplace(ListKey{aggregate.updatedAt, rootID}, root);
  }
  group.countsActive = !root->isInternalHelper && aggregate.isActive;
  if (group.countsActive) {
    ++activeGroupCount;
  }
}

// Distinct providers in the order of their first active session: the first of each provider's
// set, ordered as the active list.
void SessionIndex::Storage::refreshActiveProviders() {
  std::vector<ActiveKey> firsts;
  for (const auto& [provider, keys] : activeByProvider) {
    if (!keys.empty()) {
      firsts.push_back(*keys.begin());
    }
  }
  std::sort(firsts.begin(), firsts.end());
  activeProviders.clear();
  for (const ActiveKey& first : firsts) {
    activeProviders.push_back(active.find(first)->second->provider);
  }
}

void SessionIndex::Storage::refreshLists() const {
  const std::scoped_lock lock(listsMutex);
  if (!listsStale) {
    return;
  }
  // Assigning over the old lists keeps the reference counts of the records that stayed.
  const auto assign = [](SessionList& list, std::size_t size, const auto& each) {
    list.resize(size, list.empty() ? SharedSession(AgentSession{}) : list.front());
    std::size_t i = 0;
    each([&](const SharedSession& session) { list[i++] = session; });
  };
  assign(groupRoots, groupOrder.size(), [&](const auto& put) {
    for (const auto& [key, root] : groupOrder) {
      put(root);
    }
  });
  assign(hierarchicalSessions, groupRootIDBySessionID.size(), [&](const auto& put) {
    for (const auto& [key, root] : groupOrder) {
      for (const SharedSession& member : groupMembersByRootID.find(key.rootID)->second) {
        put(member);
      }
    }
  });
  assign(activeSessions, active.size(), [&](const auto& put) {
    for (const auto& [key, session] : active) {
      put(session);
    }
  });
  assign(attentionSessions, waiting.size(), [&](const auto& put) {
    for (const auto& [key, session] : waiting) {
      put(session);
    }
  });
  listsStale = false;
}

// The members of a group: the root, then each child in index order, depth first.
SessionList SessionIndex::Storage::members(std::string_view rootID,
                                           const SharedSession& root) const {
  SessionList result;
  std::vector<std::pair<const SessionList*, std::size_t>> stack;
  result.push_back(root);
  const auto descend = [&](std::string_view id) {
    const auto children = childrenByParentID.find(id);
    if (children != childrenByParentID.end() && !children->second.empty()) {
      stack.emplace_back(&children->second, 0);
    }
  };
  descend(rootID);
  while (!stack.empty()) {
    auto& [children, next] = stack.back();
    if (next == children->size()) {
      stack.pop_back();
      continue;
    }
    const SharedSession& child = (*children)[next++];
    result.push_back(child);
    descend(child->id);
  }
  return result;
}

SessionIndex::SessionIndex() {
  // Every empty index shares one body, which is therefore never updated in place.
  static const auto emptyBody = std::make_shared<Storage>();
  storage = emptyBody;
}

SessionIndex::SessionIndex(SessionList sessions) {
  auto body = std::make_shared<Storage>();
  body->build(sessions);
  storage = std::move(body);
}

SessionIndex::SessionIndex(std::vector<AgentSession> sessions)
    : SessionIndex(toSessionList(std::move(sessions))) {}

const SessionIndex::Map<SharedSession>& SessionIndex::sessionsByID() const {
  return storage->sessionsByID;
}
const SessionIndex::Map<SessionList>& SessionIndex::childrenByParentID() const {
  return storage->childrenByParentID;
}
const SessionList& SessionIndex::hierarchicalSessions() const {
  storage->refreshLists();
  return storage->hierarchicalSessions;
}
const SessionList& SessionIndex::activeSessions() const {
  storage->refreshLists();
  return storage->activeSessions;
}
const std::vector<AgentProvider>& SessionIndex::activeProviders() const {
  return storage->activeProviders;
}
const SessionList& SessionIndex::attentionSessions() const {
  storage->refreshLists();
  return storage->attentionSessions;
}
const SessionList& SessionIndex::groupRoots() const {
  storage->refreshLists();
  return storage->groupRoots;
}
const SessionIndex::Map<SessionList>& SessionIndex::groupMembersByRootID() const {
  return storage->groupMembersByRootID;
}
const SessionIndex::Map<std::string_view>& SessionIndex::groupRootIDBySessionID() const {
  return storage->groupRootIDBySessionID;
}
const SessionIndex::Map<SessionIndex::GroupAggregate>& SessionIndex::groupAggregates() const {
  return storage->groupAggregates;
}

std::optional<SharedSession> SessionIndex::firstAttentionSession() const {
  const Storage& index = *storage;
  if (index.updatable) {
    if (index.waiting.empty()) {
      return std::nullopt;
    }
    return index.waiting.begin()->second;
  }
  if (index.attentionSessions.empty()) {
    return std::nullopt;
  }
  return index.attentionSessions.front();
}

SessionIndex::UpdateResult SessionIndex::update(const std::vector<Change>& changes) {
  if (storage.use_count() != 1 || !storage->updatable) {
    return {};
  }
  Storage& index = *storage;
  // Nothing changes unless every change keeps the groups as they are, apart from an added session
  // that joins its parent's group (or starts its own) and has no children yet.
  std::vector<Map<SharedSession>::iterator> found;
  found.reserve(changes.size());
  std::size_t added = 0;
  for (const Change& change : changes) {
    const AgentSession& after = *change.after;
    found.push_back(index.sessionsByID.find(after.id));
    const bool known = found.back() != index.sessionsByID.end();
    if (change.before) {
      const AgentSession& before = **change.before;
      if (before.id != after.id || before.parentSessionId != after.parentSessionId ||
          before.isInternalHelper != after.isInternalHelper || !known) {
        return {};
      }
    } else if (++added > 1 || known || index.childrenByParentID.contains(after.id) ||
               after.parentSessionId == after.id) {
      return {};
    }
  }

  UpdateResult result{.applied = true};
  std::vector<std::pair<std::string_view, bool>> touched;  // root ids, and whether new
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const Change& change = changes[i];
    const AgentSession& after = *change.after;
    const bool unchanged = change.before && (*change.before)->sameAs(after);
    std::string_view id;
    std::string_view rootID;
    bool newGroup = false;
    if (change.before) {
      id = found[i]->first;
      found[i]->second = change.after;
      rootID = index.groupRootIDBySessionID.find(id)->second;
    } else {
      id = index.intern(after.id);
      index.sessionsByID.emplace(id, change.after);
      const auto parentRoot =
          after.parentSessionId && index.sessionsByID.contains(*after.parentSessionId)
              ? index.groupRootIDBySessionID.find(*after.parentSessionId)
              : index.groupRootIDBySessionID.end();
      newGroup = parentRoot == index.groupRootIDBySessionID.end();
      rootID = newGroup ? id : parentRoot->second;
      index.groupRootIDBySessionID.emplace(id, rootID);
    }
    if (after.parentSessionId) {
      auto children = index.childrenByParentID.find(*after.parentSessionId);
      if (children == index.childrenByParentID.end()) {
        children =
            index.childrenByParentID.emplace(index.intern(*after.parentSessionId), SessionList{})
                .first;
      }
      SessionList& list = children->second;
      if (change.before) {
        std::erase_if(list, [&](const SharedSession& child) { return child->id == after.id; });
      }
      const auto place = std::lower_bound(list.begin(), list.end(), after,
                                          [](const SharedSession& a, const AgentSession& b) {
                                            return precedesInIndexOrder(*a, b);
                                          });
      list.insert(place, change.after);
    }

    // Visibility depends on the group root's helper flag, which no accepted change alters.
    const AgentSession& root = rootID == id ? after : *index.sessionsByID.find(rootID)->second;
    const bool visible = AgentTaskTitle::isUserVisible(after, root);
    bool wasActive = false;
    bool wasWaiting = false;
    if (change.before) {
      const AgentSession& before = **change.before;
      if (before.isActive()) {
        const ActiveKey key = index.activeKey(before, id);
        wasActive = index.active.erase(key) > 0;
        if (wasActive) {
          index.activeByProvider[key.provider].erase(key);
        }
      }
      if (before.state == AgentState::waitingForUser) {
        wasWaiting = index.waiting.erase(AttentionKey{before.updatedAt, id}) > 0;
      }
    }
    const bool isActive = visible && after.isActive();
    const bool isWaiting = visible && after.state == AgentState::waitingForUser;
    if (isActive) {
      const ActiveKey key = index.activeKey(after, id);
      index.active.emplace(key, change.after);
      index.activeByProvider[key.provider].insert(key);
    }
    if (isWaiting) {
      index.waiting.emplace(AttentionKey{after.updatedAt, id}, change.after);
    }
    result.activeChanged = result.activeChanged || ((wasActive || isActive) && !unchanged);
    result.attentionChanged = result.attentionChanged || ((wasWaiting || isWaiting) && !unchanged);

    const auto seen = std::find_if(touched.begin(), touched.end(),
                                   [&](const auto& entry) { return entry.first == rootID; });
    if (seen == touched.end()) {
      touched.emplace_back(rootID, newGroup);
    }
  }

  for (const auto& [rootID, isNew] : touched) {
    const SharedSession& root = index.sessionsByID.find(rootID)->second;
    SessionList members = index.members(rootID, root);
    // The members always hold the root, so the latest of theirs is the aggregate's time.
    GroupAggregate aggregate{.updatedAt = root->updatedAt};
    for (const SharedSession& member : members) {
      aggregate.needsAttention = aggregate.needsAttention || member->needsAttention();
      aggregate.isActive = aggregate.isActive || member->isActive();
      aggregate.updatedAt = std::max(aggregate.updatedAt, member->updatedAt);
    }
    index.groupMembersByRootID.insert_or_assign(rootID, std::move(members));
    index.groupAggregates.insert_or_assign(rootID, aggregate);
    index.placeGroup(rootID, root, aggregate, isNew);
  }
  index.refreshActiveProviders();
  const std::scoped_lock lock(index.listsMutex);
  index.listsStale = true;
  return result;
}

std::unordered_set<std::string> SessionIndex::descendantIDs(std::string_view id) const {
  std::unordered_set<std::string> result;
  std::unordered_set<std::string_view> visited{id};
  std::vector<std::string_view> stack{id};
  while (!stack.empty()) {
    const std::string_view current = stack.back();
    stack.pop_back();
    const auto children = storage->childrenByParentID.find(current);
    if (children == storage->childrenByParentID.end()) {
      continue;
    }
    for (const SharedSession& child : children->second) {
      if (visited.insert(child->id).second) {
        result.insert(child->id);
        stack.push_back(child->id);
      }
    }
  }
  return result;
}

std::optional<std::string> SessionIndex::rootID(std::string_view id) const {
  const auto found = storage->groupRootIDBySessionID.find(id);
  if (found == storage->groupRootIDBySessionID.end()) {
    return std::nullopt;
  }
  return std::string(found->second);
}

std::optional<SharedSession> SessionIndex::session(std::string_view id) const {
  const auto found = storage->sessionsByID.find(id);
  if (found == storage->sessionsByID.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool SessionIndex::isVisible(const AgentSession& session) const {
  const auto rootID = storage->groupRootIDBySessionID.find(session.id);
  if (rootID != storage->groupRootIDBySessionID.end()) {
    const auto root = storage->sessionsByID.find(rootID->second);
    if (root != storage->sessionsByID.end()) {
      return AgentTaskTitle::isUserVisible(session, *root->second);
    }
  }
  return AgentTaskTitle::isUserVisible(session, session);
}

bool SessionIndex::operator==(const SessionIndex& other) const {
  if (storage == other.storage) {
    return true;
  }
  storage->refreshLists();
  other.storage->refreshLists();
  const Storage& a = *storage;
  const Storage& b = *other.storage;
  // The lists first: they differ cheaply whenever a session changed.
  return a.hierarchicalSessions == b.hierarchicalSessions && a.groupRoots == b.groupRoots &&
         a.activeSessions == b.activeSessions && a.attentionSessions == b.attentionSessions &&
         a.activeProviders == b.activeProviders && a.sessionsByID == b.sessionsByID &&
         a.childrenByParentID == b.childrenByParentID &&
         a.groupMembersByRootID == b.groupMembersByRootID &&
         a.groupRootIDBySessionID == b.groupRootIDBySessionID &&
         a.groupAggregates == b.groupAggregates;
}

}  // namespace tarvel
