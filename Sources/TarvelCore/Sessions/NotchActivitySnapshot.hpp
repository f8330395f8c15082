#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Sessions/SharedSession.hpp"

namespace tarvel {

// What the notch display draws: the running sessions and products, how many groups of work are
// active, who waits for the user and whom to present, and the few groups to list. Built by
// SessionIndex::notchSnapshot; a plain value, equal when all eight fields are equal.
struct NotchActivitySnapshot {
  static constexpr std::size_t listedGroupLimit = 3;

  SessionList activeSessions;                  // visible and active, latest first
  std::vector<AgentProvider> activeProviders;  // distinct, most recently active first
  std::int64_t activeGroupCount = 0;
  SessionList attentionSessions;  // visible and waiting, latest first
  std::optional<SharedSession> attentionSession;
  SessionList listSessions;     // at most listedGroupLimit group roots, latest group first
  SessionList relatedSessions;  // visible members of the listed groups and the attention group
  std::int64_t hiddenActiveGroupCount = 0;

  std::size_t attentionCount() const { return attentionSessions.size(); }

  // The snapshot before any session exists.
  static NotchActivitySnapshot empty() { return {}; }

  bool operator==(const NotchActivitySnapshot&) const = default;
};

}  // namespace tarvel
