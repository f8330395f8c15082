#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory_resource>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "TarvelCore/Sessions/SessionIndex.hpp"

// Inside the session index: its keys and storage, shared by the files that build, update and
// read it. Nothing outside SessionIndex*.cpp includes this.
namespace tarvel {

namespace sessionIndexParts {

// The keys of the ordered sets an updatable index keeps. Each holds what it is compared by (the
// strings are views of ids the index owns), so that a search does not visit the sessions, and
// ends on the id, so that with distinct ids no two keys are equivalent.

// Active order: the latest update first, then provider raw value, then id.
struct ActiveKey {
  Date updatedAt{};
  std::string_view provider;
  std::string_view id;

  bool operator<(const ActiveKey& other) const {
    if (updatedAt != other.updatedAt) {
      return updatedAt > other.updatedAt;
    }
    if (provider != other.provider) {
      return provider < other.provider;
    }
    return id < other.id;
  }
};

// Attention order: the latest update first, then id.
struct AttentionKey {
  Date updatedAt{};
  std::string_view id;

  bool operator<(const AttentionKey& other) const {
    if (updatedAt != other.updatedAt) {
      return updatedAt > other.updatedAt;
    }
    return id < other.id;
  }
};

// A group's place in group order: needing attention first, then active, then the latest update,
// then the smaller root id.
struct GroupKey {
  bool needsAttention = false;
  bool isActive = false;
  Date updatedAt{};
  std::string_view rootID;

  bool operator<(const GroupKey& other) const {
    if (needsAttention != other.needsAttention) {
      return needsAttention;
    }
    if (isActive != other.isActive) {
      return isActive;
    }
    if (updatedAt != other.updatedAt) {
      return updatedAt > other.updatedAt;
    }
    return rootID < other.rootID;
  }
};

// A group's place among the groups the notch may list: the latest group update, then the
// smaller root id.
struct ListKey {
  Date updatedAt{};
  std::string_view rootID;

  bool operator<(const ListKey& other) const {
    if (updatedAt != other.updatedAt) {
      return updatedAt > other.updatedAt;
    }
    return rootID < other.rootID;
  }
};

struct GroupState {
  GroupKey key;
  bool listable = false;      // neither housekeeping nor an internal helper: may be listed
  bool countsActive = false;  // not an internal helper and active: counts in activeGroupCount
};

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

}  // namespace sessionIndexParts

struct SessionIndex::Storage {
  using ActiveKey = sessionIndexParts::ActiveKey;
  using AttentionKey = sessionIndexParts::AttentionKey;
  using GroupKey = sessionIndexParts::GroupKey;
  using ListKey = sessionIndexParts::ListKey;
  using GroupState = sessionIndexParts::GroupState;
  using StringHash = sessionIndexParts::StringHash;

  // The maps' nodes come from one arena that lives and dies with the index: an index is built
  // once and afterwards only grows in place, so its memory is never freed piece by piece.
  std::pmr::monotonic_buffer_resource arena{16384};
  // Every id the maps use as a key or value; the sessions may be replaced, these stay.
  std::unordered_set<std::string, StringHash, std::equal_to<>> ids;
  Map<SharedSession> sessionsByID{&arena};
  Map<SessionList> childrenByParentID{&arena};
  std::vector<AgentProvider> activeProviders;
  Map<SessionList> groupMembersByRootID{&arena};
  Map<std::string_view> groupRootIDBySessionID{&arena};
  Map<GroupAggregate> groupAggregates{&arena};

  // The four long lists. An updatable index rebuilds them from the ordered sets below when they
  // are read after an update; `listsMutex` guards that, since copies may be read anywhere.
  mutable std::mutex listsMutex;
  mutable bool listsStale = false;
  mutable SessionList hierarchicalSessions;
  mutable SessionList activeSessions;
  mutable SessionList attentionSessions;
  mutable SessionList groupRoots;

  // Kept only by an updatable index: one built without repeated ids or parent cycles.
  bool updatable = false;
  std::map<GroupKey, SharedSession> groupOrder;  // the roots
  std::map<ListKey, SharedSession> listable;     // the roots the notch may list
  Map<GroupState> groups{&arena};                // by root id
  std::map<ActiveKey, SharedSession> active;     // visible and active
  std::map<std::string_view, std::set<ActiveKey>> activeByProvider;
  std::map<AttentionKey, SharedSession> waiting;  // visible and waiting for the user
  std::int64_t activeGroupCount = 0;

  // Ids, parent ids and provider raw values, kept for as long as the index.
  std::string_view intern(std::string_view id) {
    const auto found = ids.find(id);
    return found != ids.end() ? std::string_view(*found) : *ids.emplace(id).first;
  }
  // `id` is the session's interned id.
  ActiveKey activeKey(const AgentSession& session, std::string_view id) {
    return {session.updatedAt, intern(session.provider.rawValue), id};
  }
  void build(const SessionList& sessions);
  void prepareUpdates();
  void placeGroup(std::string_view rootID, const SharedSession& root,
                  const GroupAggregate& aggregate, bool isNew);
  void refreshActiveProviders();
  void refreshLists() const;
  SessionList members(std::string_view rootID, const SharedSession& root) const;
};

}  // namespace tarvel
