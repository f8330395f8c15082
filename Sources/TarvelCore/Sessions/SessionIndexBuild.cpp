#include "TarvelCore/Sessions/SessionIndex.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>
#include <utility>

#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Sessions/SessionIndexStorage.hpp"

// The index built whole from a list of sessions: parents and children, groups with their
// aggregates, and the ordered lists; updates of single sessions are in SessionIndex.cpp.
namespace tarvel {

using namespace sessionIndexParts;

namespace {

bool containsIgnoringASCIICase(std::string_view text, std::string_view lowerNeedle) {
  const auto found = std::search(
      text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(), [](char a, char b) {
        const char lower = a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a;
        return lower == b;
      });
  return found != text.end();
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

bool SessionIndex::isHousekeepingTitle(std::string_view title) {
  const bool isASCII = std::all_of(title.begin(), title.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (!isASCII) {
    return AgentTaskTitle::isHousekeeping(title);
  }
  return containsIgnoringASCIICase(title, "memory writing agent") ||
         containsIgnoringASCIICase(title, "<in-app-browser-context");
}

void SessionIndex::Storage::build(const SessionList& sessions) {
  const std::size_t count = sessions.size();
  GroupBuilder builder(sessions, &arena);

  // Walking backwards, the first position met for an id is the one that wins.
  builder.positionByID.reserve(count);
  for (std::size_t i = count; i-- > 0;) {
    builder.canonical[i] = builder.positionByID.try_emplace(sessions[i]->id, i).first->second;
  }
  sessionsByID.reserve(builder.positionByID.size());
  for (const auto& [id, position] : builder.positionByID) {
    sessionsByID.emplace(intern(id), sessions[position]);
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
    childrenByParentID.emplace(intern(parent), std::move(list));
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
    const std::string_view rootID = intern(sessions[root]->id);
    groupRoots.push_back(sessions[root]);
    SessionList list;
    list.reserve(remaining.size());
    for (const std::size_t position : remaining) {
      placed[builder.canonical[position]] = true;
      rootOf[builder.canonical[position]] = root;
      list.push_back(sessions[position]);
      hierarchicalSessions.push_back(sessions[position]);
      groupRootIDBySessionID.insert_or_assign(intern(sessions[position]->id), rootID);
    }
    groupMembersByRootID.insert_or_assign(rootID, std::move(list));
    groupAggregates.insert_or_assign(rootID, builder.aggregate(remaining, root));
  };
  for (const Group& group : groups) {
    place(group.root, group.members);
  }
  // Only sessions caught in a cycle of parent links are left: each becomes a root, in list order.
  bool cycles = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (!placed[builder.canonical[i]]) {
      place(i, builder.members(i));
      cycles = true;
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

  // Where the groups depend on list order (a cycle's root is the first of it in the list) or
  // ids repeat, an update could not tell which session it replaces: such an index is rebuilt.
  updatable = !cycles && builder.positionByID.size() == count;
  if (updatable) {
    prepareUpdates();
  }
}

}  // namespace tarvel
