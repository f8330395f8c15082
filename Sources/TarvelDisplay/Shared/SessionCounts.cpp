#include "TarvelDisplay/Shared/SessionCounts.hpp"

namespace tarvel::Display {

SessionCounts countSessions(const SessionList& sessions, const std::vector<LivePrompt>& prompts) {
  SessionCounts counts;
  for (const LivePrompt& prompt : prompts) {
    counts.waiting.insert(prompt.sessionId);
  }
  for (const SharedSession& session : sessions) {
    // A session that just started waits for its first prompt: it is not at work.
    const AgentState state = session->state;
    if (state == AgentState::waitingForUser) {
      counts.waiting.insert(session->id);
    } else if (isWorking(state) && state != AgentState::starting &&
               counts.waiting.count(session->id) == 0) {
      ++counts.working;
    }
  }
  return counts;
}

std::string countsText(std::size_t waiting, std::size_t working) {
  if (waiting == 0 && working == 0) {
    return "idle";
  }
  return std::to_string(waiting) + " waiting · " + std::to_string(working) + " working";
}

}  // namespace tarvel::Display
