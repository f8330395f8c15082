#include "TarvelDisplay/Notifications/FinishedSessions.hpp"

#include <algorithm>

#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"

namespace tarvel::Display {
namespace {

bool isFinished(std::string_view state) { return state == "completed" || state == "failed"; }

}  // namespace

std::vector<NotificationContent::FinishedSession> FinishedSessions::follow(
    const StateHub& hub, const PublishedState& state) {
  std::vector<NotificationContent::FinishedSession> finished;
  std::optional<std::vector<StateHub::Change>> changes;
  if (revision != 0) {
    changes = hub.since(revision);
  }
  if (!changes) {
    // The first state, or too far behind: taken as it is, telling of nothing.
    states.clear();
    const auto whole = Coding::parse(state.whole());
    if (whole && whole->is_object()) {
      for (const Json& session : whole->value("sessions", Json::array())) {
        remember(session, false, finished);
      }
    }
    revision = state.revision;
    return finished;
  }
  for (const StateHub::Change& change : *changes) {
    const auto message = Coding::parse(*change.data);
    if (!message || !message->is_object()) {
      continue;
    }
    for (const Json& session : message->value("sessions", Json::array())) {
      remember(session, true, finished);
    }
    for (const Json& id : message->value("removedSessionIds", Json::array())) {
      if (id.is_string()) {
        states.erase(id.get<std::string>());
      }
    }
    revision = std::max(revision, change.revision);
  }
  return finished;
}

void FinishedSessions::remember(const Json& session, bool mayTell,
                                std::vector<NotificationContent::FinishedSession>& finished) {
  if (!session.is_object() || !session.contains("id") || !session["id"].is_string()) {
    return;
  }
  const std::string id = session["id"].get<std::string>();
  const std::string state = session.value("state", std::string());
  const auto previous = states.find(id);
  const bool wasActive = previous != states.end() && !isFinished(previous->second);
  states[id] = state;
  if (!mayTell || !wasActive || !isFinished(state)) {
    return;
  }
  const auto started = Dates::parseISO8601(session.value("startedAt", std::string()));
  const auto ended =
      Dates::parseISO8601(session.value("completedAt", session.value("updatedAt", std::string())));
  if (!started || !ended) {
    return;
  }
  const auto ran = std::chrono::duration_cast<std::chrono::seconds>(*ended - *started);
  if (ran <= after) {
    return;
  }
  finished.push_back(
      {.providerName =
           AgentCatalogue::displayName(AgentProvider(session.value("provider", std::string()))),
       .projectName = session.contains("projectName") && session["projectName"].is_string()
                          ? std::optional<std::string>(session["projectName"].get<std::string>())
                          : std::nullopt,
       .task = session.value("task", std::string()),
       .failed = state == "failed",
       .ranFor = ran});
}

}  // namespace tarvel::Display
