#include "TarvelCore/Sessions/SessionIndex.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <utility>

#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Sessions/SessionIndexStorage.hpp"

// The index's snapshot: the groups and lists a display draws, read from the index.
namespace tarvel {

NotchActivitySnapshot SessionIndex::notchSnapshot(
    const std::optional<AgentEvent>& attentionEvent) const {
  NotchActivitySnapshot snapshot = notchSnapshotWithoutLists(attentionEvent);
  snapshot.activeSessions = activeSessions();
  snapshot.attentionSessions = attentionSessions();
  return snapshot;
}

NotchActivitySnapshot SessionIndex::notchSnapshotWithoutLists(
    const std::optional<AgentEvent>& attentionEvent) const {
  const Storage& index = *storage;
  NotchActivitySnapshot snapshot{.activeProviders = index.activeProviders};

  const auto aggregateOf = [&](const SharedSession& root) -> std::optional<GroupAggregate> {
    const auto found = index.groupAggregates.find(root->id);
    if (found == index.groupAggregates.end()) {
      return std::nullopt;
    }
    return found->second;
  };

  // The three most recently touched groups; attention and activity play no part in this order.
  // An updatable index keeps the candidates in that order (its ids are distinct, so the order is
  // total and equals the stable sort below), and counts the active groups as it goes.
  if (index.updatable) {
    for (const auto& [key, root] : index.listable) {
      if (snapshot.listSessions.size() == NotchActivitySnapshot::listedGroupLimit) {
        break;
      }
      snapshot.listSessions.push_back(root);
    }
    snapshot.activeGroupCount = index.activeGroupCount;
    snapshot.hiddenActiveGroupCount = index.activeGroupCount;
    for (const SharedSession& listed : snapshot.listSessions) {
      if (index.groups.find(listed->id)->second.countsActive) {
        --snapshot.hiddenActiveGroupCount;
      }
    }
  } else {
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
  }

  if (attentionEvent) {
    const auto found = index.sessionsByID.find(attentionEvent->sessionId);
    if (found != index.sessionsByID.end() && isVisible(*found->second)) {
      snapshot.attentionSession = found->second;
    }
  }
  if (!snapshot.attentionSession) {
    snapshot.attentionSession = firstAttentionSession();
  }

  if (index.updatable) {
    appendRelatedSessions(snapshot);
    return snapshot;
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

// The visible members of the listed groups, then of the attention session's group. In an
// updatable index every session belongs to exactly one group, whose root is the listed root (or
// the attention session's root) and always among its members: so no member repeats unless the
// attention group is listed, and each member's visibility needs only that root.
void SessionIndex::appendRelatedSessions(NotchActivitySnapshot& snapshot) const {
  const Storage& index = *storage;
  const auto takeGroup = [&](std::string_view rootID) {
    const SessionList& members = index.groupMembersByRootID.find(rootID)->second;
    const AgentSession& root = *members.front();
    for (const SharedSession& member : members) {
      if (AgentTaskTitle::isUserVisible(*member, root)) {
        snapshot.relatedSessions.push_back(member);
      }
    }
  };
  for (const SharedSession& root : snapshot.listSessions) {
    takeGroup(root->id);
  }
  if (!snapshot.attentionSession) {
    return;
  }
  const auto rootID = index.groupRootIDBySessionID.find((*snapshot.attentionSession)->id);
  if (rootID == index.groupRootIDBySessionID.end()) {
    return;
  }
  const bool listed =
      std::any_of(snapshot.listSessions.begin(), snapshot.listSessions.end(),
                  [&](const SharedSession& root) { return root->id == rootID->second; });
  if (!listed) {
    takeGroup(rootID->second);
  }
}

}  // namespace tarvel
