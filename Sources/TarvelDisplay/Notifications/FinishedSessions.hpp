#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "TarvelDisplay/Notifications/NotificationContent.hpp"
#include "TarvelDisplay/Shared/StateHub.hpp"

namespace tarvel::Display {

// Follows the sessions through the published revisions and tells which finished or failed after
// running longer than `after`: each such session once, when the change that ended it is seen. The
// first state seen (and a state after falling too far behind to have every change) is taken as it
// is, without telling of any.
// Thread: confined to the one thread that calls follow().
class FinishedSessions {
 public:
  explicit FinishedSessions(std::chrono::seconds after) : after(after) {}

  // The sessions that finished in the revisions up to `state` since the last call.
  std::vector<NotificationContent::FinishedSession> follow(const StateHub& hub,
                                                           const PublishedState& state);

 private:
  void remember(const Json& session, bool mayTell,
                std::vector<NotificationContent::FinishedSession>& finished);

  std::chrono::seconds after;
  std::uint64_t revision = 0;
  std::unordered_map<std::string, std::string> states;  // session id -> state
};

}  // namespace tarvel::Display
