#include "TarvelCore/Models/SessionIndex.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "TarvelCore/Models/AgentTaskTitle.hpp"

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

struct SessionIndex::Storage {
  // The maps' nodes come from one arena that lives and dies with the index: an index is built
  // after every change and never modified, so its memory is never freed piece by piece.
  std::pmr::monotonic_buffer_resource arena{16384};
  SessionList input;  // holds every session the views below point into
  Map<SharedSession> sessionsByID{&arena};
  Map<SessionList> childrenByParentID{&arena};
  SessionList hierarchicalSessions;
  SessionList activeSessions;
  std::vector<AgentProvider> activeProviders;
  SessionList attentionSessions;
  SessionList groupRoots;
  Map<SessionList> groupMembersByRootID{&arena};
  Map<std::string_view> groupRootIDBySessionID{&arena};
  Map<GroupAggregate> groupAggregates{&arena};

  void build();
};

namespace {

bool containsIgnoringASCIICase(std::string_view text, std::string_view lowerNeedle) {
  const auto found = std::search(
      text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(), [](char a, char b) {
        const char lower = a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a;
        return lower == b;
      });
  return found != text.end();
}

// AgentTaskTitle::isHousekeeping, without lowercasing the whole title when it is plain ASCII
// (then ASCII case folding gives the same answer); other titles take the full rule.
bool isHousekeepingTitle(std::string_view title) {
  const bool isASCII = std::all_of(title.begin(), title.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!isASCII) {
    return AgentTaskTitle::isHousekeeping(title);
  }
  return containsIgnoringASCIICase(title, "memory writing agent") ||
         containsIgnoringASCIICase(title, "<in-app-browser-context");
}

// The index is computed on positions into the input list; the public maps are filled from them.
// `canonical[i]` is the position that wins for session i's id (the last one with that id), so
// "visited" and "placed" are tracked per id, as the maps are keyed.
using Positions = std::pmr::vector<std::size_t>;

struct GroupBuilder {
  const SessionList& sessions;
  std::pmr::memory_resource* arena;
  Positions canonical;
  SessionIndex::Map<std::size_t> positionByID;
  SessionIndex::Map<Positions> childPositions;
  std::pmr::vector<std::uint32_t> visitMark;  // walk that last visited the id, 0 for none
  std::uint32_t walk = 0;
  Positions stack;

  GroupBuilder(const SessionList& sessions, std::pmr::memory_resource* arena)
      : sessions(sessions),
        arena(arena),
        canonical(sessions.size(), arena),
        positionByID(arena),
        childPositions(arena),
        visitMark(sessions.size(), 0, arena),
        stack(arena),
        childrenByCanonical(sessions.size(), nullptr, arena) {}

  // The children of each id that has any, by the id's canonical position (filled once the
  // children are sorted), so that walks need no lookups by id.
  std::pmr::vector<const Positions*> childrenByCanonical;

  const Positions* childrenOf(std::size_t position) const {
    return childrenByCanonical[canonical[position]];
  }

  // The members of the group rooted at `root`: the root, then each child in index order,
  // depth first, skipping ids already met in this walk. The walk keeps its own stack, so a chain
  // of any depth needs no call stack; children are pushed in reverse and checked when popped,
  // which visits them in exactly the order a recursive walk would.
  Positions members(std::size_t root) {
    Positions result(arena);
    ++walk;
    stack.clear();
    stack.push_back(root);
    while (!stack.empty()) {
      const std::size_t position = stack.back();
      stack.pop_back();
      std::uint32_t& mark = visitMark[canonical[position]];
      if (mark == walk) {
        continue;
      }
      mark = walk;
      result.push_back(position);
      if (const auto* children = childrenOf(position)) {
        stack.insert(stack.end(), children->rbegin(), children->rend());
      }
    }
    return result;
  }

  SessionIndex::GroupAggregate aggregate(const Positions& members, std::size_t fallback) const {
    SessionIndex::GroupAggregate result{.updatedAt = sessions[fallback]->updatedAt};
    bool first = true;
    for (const std::size_t position : members) {
      const AgentSession& session = *sessions[position];
      result.needsAttention = result.needsAttention || session.needsAttention();
      result.isActive = result.isActive || session.isActive();
      result.updatedAt = first ? session.updatedAt : std::max(result.updatedAt, session.updatedAt);
      first = false;
    }
    return result;
  }
};

bool precedesInGroupOrder(const SessionIndex::GroupAggregate& a, std::string_view aID,
                          const SessionIndex::GroupAggregate& b, std::string_view bID) {
  if (a.needsAttention != b.needsAttention) {
    return a.needsAttention;
  }
  if (a.isActive != b.isActive) {
    return a.isActive;
  }
  if (a.updatedAt != b.updatedAt) {
    return a.updatedAt > b.updatedAt;
  }
  return aID < bID;
}

}  // namespace

void SessionIndex::Storage::build() {
  const SessionList& sessions = input;
  const std::size_t count = sessions.size();
  GroupBuilder builder(sessions, &arena);

  // Walking backwards, the first position met for an id is the one that wins.
  builder.positionByID.reserve(count);
  for (std::size_t i = count; i-- > 0;) {
    builder.canonical[i] = builder.positionByID.try_emplace(sessions[i]->id, i).first->second;
  }
  sessionsByID.reserve(builder.positionByID.size());
  for (const auto& [id, position] : builder.positionByID) {
    sessionsByID.emplace(id, sessions[position]);
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (const auto& parent = sessions[i]->parentSessionId) {
      builder.childPositions.try_emplace(*parent).first->second.push_back(i);
    }
  }
  for (auto& [parent, children] : builder.childPositions) {
    std::stable_sort(children.begin(), children.end(), [&](std::size_t a, std::size_t b) {
      return precedesInIndexOrder(*sessions[a], *sessions[b]);
    });
    SessionList list;
    list.reserve(children.size());
    for (const std::size_t position : children) {
      list.push_back(sessions[position]);
    }
    childrenByParentID.emplace(parent, std::move(list));
    if (const auto found = builder.positionByID.find(parent); found != builder.positionByID.end()) {
      builder.childrenByCanonical[found->second] = &children;
    }
  }

  // Roots, each with the members of its walk and their aggregate.
  struct Group {
    std::size_t root = 0;
    Positions members;
    GroupAggregate aggregate;
  };
  std::pmr::vector<Group> groups(&arena);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& parent = sessions[i]->parentSessionId;
    if (!parent || !builder.positionByID.contains(*parent)) {
      auto members = builder.members(i);
      const GroupAggregate aggregate = builder.aggregate(members, i);
      groups.push_back({.root = i, .members = std::move(members), .aggregate = aggregate});
    }
  }
  std::stable_sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) {
    return precedesInGroupOrder(a.aggregate, sessions[a.root]->id, b.aggregate,
                                sessions[b.root]->id);
  });

  std::pmr::vector<bool> placed(count, false, &arena);
  Positions rootOf(count, 0, &arena);  // by canonical position, for visibility
  groupMembersByRootID.reserve(groups.size());
  groupRootIDBySessionID.reserve(count);
  groupAggregates.reserve(groups.size());
  hierarchicalSessions.reserve(count);
  const auto place = [&](std::size_t root, const Positions& members) {
    Positions remaining(&arena);
    remaining.reserve(members.size());
    for (const std::size_t position : members) {
      if (!placed[builder.canonical[position]]) {
        remaining.push_back(position);
      }
    }
    if (remaining.empty()) {
      return;
    }
    const std::string_view rootID = sessions[root]->id;
    groupRoots.push_back(sessions[root]);
    SessionList list;
    list.reserve(remaining.size());
    for (const std::size_t position : remaining) {
      placed[builder.canonical[position]] = true;
      rootOf[builder.canonical[position]] = root;
      list.push_back(sessions[position]);
      hierarchicalSessions.push_back(sessions[position]);
      groupRootIDBySessionID.insert_or_assign(sessions[position]->id, rootID);
    }
    groupMembersByRootID.insert_or_assign(rootID, std::move(list));
    groupAggregates.insert_or_assign(rootID, builder.aggregate(remaining, root));
  };
  for (const Group& group : groups) {
    place(group.root, group.members);
  }
  // Only sessions caught in a cycle of parent links are left: each becomes a root, in list order.
  for (std::size_t i = 0; i < count; ++i) {
    if (!placed[builder.canonical[i]]) {
      place(i, builder.members(i));
    }
  }

  for (std::size_t i = 0; i < count; ++i) {
    const AgentSession& session = *sessions[i];
    const std::size_t canonical = builder.canonical[i];
    const AgentSession& root =
        placed[canonical] ? *sessions[builder.canonical[rootOf[canonical]]] : session;
    if (!AgentTaskTitle::isUserVisible(session, root)) {
      continue;
    }
    if (session.isActive()) {
      activeSessions.push_back(sessions[i]);
    }
    if (session.state == AgentState::waitingForUser) {
      attentionSessions.push_back(sessions[i]);
    }
  }
  std::stable_sort(activeSessions.begin(), activeSessions.end(),
                   [](const SharedSession& a, const SharedSession& b) {
                     if (a->updatedAt != b->updatedAt) {
                       return a->updatedAt > b->updatedAt;
                     }
                     if (a->provider.rawValue != b->provider.rawValue) {
                       return a->provider.rawValue < b->provider.rawValue;
                     }
                     return a->id < b->id;
                   });
  for (const SharedSession& session : activeSessions) {
    if (std::find(activeProviders.begin(), activeProviders.end(), session->provider) ==
        activeProviders.end()) {
      activeProviders.push_back(session->provider);
    }
  }
  std::stable_sort(attentionSessions.begin(), attentionSessions.end(),
                   [](const SharedSession& a, const SharedSession& b) {
                     if (a->updatedAt != b->updatedAt) {
                       return a->updatedAt > b->updatedAt;
                     }
                     return a->id < b->id;
                   });
}

SessionIndex::SessionIndex() {
  // Every empty index shares one body.
  static const auto emptyBody = std::make_shared<const Storage>();
  storage = emptyBody;
}

SessionIndex::SessionIndex(SessionList sessions) {
  auto body = std::make_shared<Storage>();
  body->input = std::move(sessions);
  body->build();
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
  return storage->hierarchicalSessions;
}
const SessionList& SessionIndex::activeSessions() const { return storage->activeSessions; }
const std::vector<AgentProvider>& SessionIndex::activeProviders() const {
  return storage->activeProviders;
}
const SessionList& SessionIndex::attentionSessions() const { return storage->attentionSessions; }
const SessionList& SessionIndex::groupRoots() const { return storage->groupRoots; }
const SessionIndex::Map<SessionList>& SessionIndex::groupMembersByRootID() const {
  return storage->groupMembersByRootID;
}
const SessionIndex::Map<std::string_view>& SessionIndex::groupRootIDBySessionID() const {
  return storage->groupRootIDBySessionID;
}
const SessionIndex::Map<SessionIndex::GroupAggregate>& SessionIndex::groupAggregates() const {
  return storage->groupAggregates;
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

NotchActivitySnapshot SessionIndex::notchSnapshot(
    const std::optional<AgentEvent>& attentionEvent) const {
  const Storage& index = *storage;
  NotchActivitySnapshot snapshot{
      .activeSessions = index.activeSessions,
      .activeProviders = index.activeProviders,
      .attentionSessions = index.attentionSessions,
  };

  const auto aggregateOf = [&](const SharedSession& root) -> std::optional<GroupAggregate> {
    const auto found = index.groupAggregates.find(root->id);
    if (found == index.groupAggregates.end()) {
      return std::nullopt;
    }
    return found->second;
  };

  // The three most recently touched groups; attention and activity play no part in this order.
  struct Candidate {
    Date updatedAt;
    const SharedSession* root;
  };
  std::vector<Candidate> candidates;
  candidates.reserve(index.groupRoots.size());
  for (const SharedSession& root : index.groupRoots) {
    if (isHousekeepingTitle(root->task) || root->isInternalHelper) {
      continue;
    }
    const auto aggregate = aggregateOf(root);
    candidates.push_back({aggregate ? aggregate->updatedAt : root->updatedAt, &root});
  }
  const auto later = [](const Candidate& a, const Candidate& b) {
    if (a.updatedAt != b.updatedAt) {
      return a.updatedAt > b.updatedAt;
    }
    return (*a.root)->id < (*b.root)->id;
  };
  std::stable_sort(candidates.begin(), candidates.end(), later);
  const std::size_t listed = std::min(candidates.size(), NotchActivitySnapshot::listedGroupLimit);
  for (std::size_t i = 0; i < listed; ++i) {
    snapshot.listSessions.push_back(*candidates[i].root);
  }

  if (attentionEvent) {
    const auto found = index.sessionsByID.find(attentionEvent->sessionId);
    if (found != index.sessionsByID.end() && isVisible(*found->second)) {
      snapshot.attentionSession = found->second;
    }
  }
  if (!snapshot.attentionSession && !index.attentionSessions.empty()) {
    snapshot.attentionSession = index.attentionSessions.front();
  }

  for (const SharedSession& root : index.groupRoots) {
    if (root->isInternalHelper) {
      continue;
    }
    const auto aggregate = aggregateOf(root);
    if (!(aggregate ? aggregate->isActive : root->isActive())) {
      continue;
    }
    ++snapshot.activeGroupCount;
    const bool isListed =
        std::any_of(snapshot.listSessions.begin(), snapshot.listSessions.end(),
                    [&](const SharedSession& listedRoot) { return listedRoot->id == root->id; });
    if (!isListed) {
      ++snapshot.hiddenActiveGroupCount;
    }
  }

  std::unordered_set<std::string_view> seen;
  const auto take = [&](const SharedSession& member) {
    if (seen.insert(member->id).second && isVisible(*member)) {
      snapshot.relatedSessions.push_back(member);
    }
  };
  const auto takeGroup = [&](const SharedSession& root) {
    const auto members = index.groupMembersByRootID.find(root->id);
    if (members == index.groupMembersByRootID.end()) {
      take(root);
      return;
    }
    for (const SharedSession& member : members->second) {
      take(member);
    }
  };
  for (const SharedSession& root : snapshot.listSessions) {
    takeGroup(root);
  }
  if (snapshot.attentionSession) {
    const auto rootID = index.groupRootIDBySessionID.find((*snapshot.attentionSession)->id);
    if (rootID != index.groupRootIDBySessionID.end()) {
      const auto members = index.groupMembersByRootID.find(rootID->second);
      if (members == index.groupMembersByRootID.end()) {
        take(*snapshot.attentionSession);
      } else {
        for (const SharedSession& member : members->second) {
          take(member);
        }
      }
    }
  }
  return snapshot;
}

bool SessionIndex::operator==(const SessionIndex& other) const {
  if (storage == other.storage) {
    return true;
  }
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
