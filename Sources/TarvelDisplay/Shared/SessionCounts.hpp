#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

#include "TarvelCore/Sessions/SharedSession.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

namespace tarvel::Display {

// Who waits for a person and who works: the one count behind the service's status, the state's
// attention count, the terminal display's header and title, the page and `tarvel status`.
struct SessionCounts {
  // The sessions that wait for a person, wherever the answer must be given: those with a
  // prompt live here, and those whose agent asks in its own dialog (a prompt let go to it, or one
  // it never held here): their state is waitingForUser while it does.
  std::set<std::string> waiting;
  // The sessions that run on their own: active, past their start, not waiting for a person and
  // not idle.
  std::size_t working = 0;
  bool operator==(const SessionCounts&) const = default;
};

SessionCounts countSessions(const SessionList& sessions, const std::vector<LivePrompt>& prompts);

// "N waiting · M working", or "idle" when both are 0.
std::string countsText(std::size_t waiting, std::size_t working);

}  // namespace tarvel::Display
