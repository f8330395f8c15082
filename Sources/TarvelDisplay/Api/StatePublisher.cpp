#include "TarvelDisplay/Api/StatePublisher.hpp"

#include <unordered_set>

#include "TarvelDisplay/Shared/SessionCounts.hpp"

namespace tarvel::Display {
namespace {

std::string encodeService(const ServiceInfo& service) {
  Json lastEvents = Json::object();
  for (const auto& [provider, date] : service.lastEvents) {
    lastEvents[provider] = Dates::iso8601(date);
  }
  return Coding::encode(Json{{"eventsReceived", service.eventsReceived},
                             {"lastEvents", std::move(lastEvents)},
                             {"startedAt", Dates::iso8601(service.startedAt)},
                             {"version", service.version}});
}

std::string encodePrompts(const std::vector<LivePrompt>& prompts) {
  Json list = Json::array();
  for (const LivePrompt& prompt : prompts) {
    list.push_back(toJSON(prompt));
  }
  return Coding::encode(list);
}

// Every surface counts from the one list of SessionCounts.
StatusCounts countsOf(const AgentActivityService& activity, const std::vector<LivePrompt>& prompts,
                      std::uint64_t revision) {
  const SessionCounts counts = countSessions(activity.sessions(), prompts);
  return {.revision = revision,
          .waiting = counts.waiting.size(),
          .working = counts.working,
          .prompts = prompts.size(),
          .sessions = activity.sessions().size()};
}

// A session as the state and its changes carry it: every key but its event history (a session
// keeps fifty events; GET /v1/sessions/{id} gives them).
std::string encodeForClients(const AgentSession& session) {
  return Coding::encode(encodeWithoutEvents(session));
}

}  // namespace

std::shared_ptr<const PublishedState> StatePublisher::publish(const AgentActivityService& activity,
                                                              std::vector<LivePrompt> prompts,
                                                              const ServiceInfo& service,
                                                              const Json& answerers,
                                                              const Json& endedPrompts,
                                                              const Json& sessionOutcomes,
                                                              const Json& recentAnswers) {
  auto state = std::make_shared<PublishedState>();
  state->revision = ++lastRevision;
  const SessionList& sessions = activity.sessions();

  // Sessions whose record changed are encoded again; the rest reuse their text.
  std::vector<std::shared_ptr<const std::string>> changed;
  std::unordered_set<std::string_view> present;
  std::vector<std::string> order;
  order.reserve(sessions.size());
  state->sessionTexts.reserve(sessions.size());
  for (const SharedSession& session : sessions) {
    auto [entry, inserted] = cache.try_emplace(session->id, Entry{session, nullptr});
    if (inserted || !entry->second.session.isSameRecord(session) || !entry->second.text) {
      entry->second.session = session;
      entry->second.text = std::make_shared<const std::string>(encodeForClients(*session));
      changed.push_back(entry->second.text);
    }
    state->sessionTexts.push_back(entry->second.text);
    present.insert(entry->first);
    order.push_back(session->id);
  }
  Json removed = Json::array();
  for (auto entry = cache.begin(); entry != cache.end();) {
    if (present.count(entry->first) == 0) {
      removed.push_back(entry->first);
      entry = cache.erase(entry);
    } else {
      ++entry;
    }
  }

  state->counts = countsOf(activity, prompts, state->revision);
  state->counts.eventsReceived = service.eventsReceived;
  state->serviceText = encodeService(service);
  state->remotesText = service.remotes;
  if (const auto remotes = Coding::parse(service.remotes); remotes && remotes->is_array()) {
    for (const Json& remote : *remotes) {
      state->counts.remotesDown += remote.value("connected", false) ? 0 : 1;
    }
  }
  Json snapshot = encodeSnapshot(activity.notchSnapshot());
  // The attention count is the status's waiting count: both say how many wait for a person.
  snapshot["attentionCount"] = state->counts.waiting;
  state->snapshotText = Coding::encode(snapshot);
  state->promptsText = encodePrompts(prompts);
  state->prompts = std::move(prompts);
  state->sessions = sessions;
  state->answerersText = Coding::encode(answerers);

  // Only what changed, in the shared encoder's key order; never a list of every session.
  std::string& change = state->change;
  change += '{';
  if (state->answerersText != lastAnswerers) {
    change += "\"answerers\":";
    change += state->answerersText;
    change += ',';
    lastAnswerers = state->answerersText;
  }
  state->endedPromptsText = Coding::encode(endedPrompts);
  if (state->endedPromptsText != lastEndedPrompts) {
    change += "\"endedPrompts\":";
    change += state->endedPromptsText;
    change += ',';
    lastEndedPrompts = state->endedPromptsText;
  }
  if (order != lastOrder) {
    change += "\"orderChanges\":";
    change += Coding::encode(listChanges(lastOrder, order));
    change += ',';
  }
  if (state->promptsText != lastPromptsText) {
    change += "\"prompts\":";
    change += state->promptsText;
    change += ',';
  }
  state->recentAnswersText = Coding::encode(recentAnswers);
  if (state->recentAnswersText != lastRecentAnswers) {
    change += "\"recentAnswers\":";
    change += state->recentAnswersText;
    change += ',';
    lastRecentAnswers = state->recentAnswersText;
  }
  change += "\"remotes\":";
  change += state->remotesText;
  change += ',';
  if (!removed.empty()) {
    change += "\"removedSessionIds\":";
    change += Coding::encode(removed);
    change += ',';
  }
  change += "\"revision\":";
  change += std::to_string(state->revision);
  change += ",\"service\":";
  change += state->serviceText;
  state->sessionOutcomesText = Coding::encode(sessionOutcomes);
  if (state->sessionOutcomesText != lastSessionOutcomes) {
    change += ",\"sessionOutcomes\":";
    change += state->sessionOutcomesText;
    lastSessionOutcomes = state->sessionOutcomesText;
  }
  change += ",\"sessions\":";
  appendArray(change, changed);
  if (state->snapshotText != lastSnapshotText) {
    Json edits = std::move(snapshot);  // its text is made: the lists move into the edits
    for (std::size_t list = 0; list < longSnapshotLists.size(); ++list) {
      const SnapshotList& names = longSnapshotLists[list];
      auto now = edits[names.key].get<std::vector<std::string>>();
      edits.erase(names.key);
      if (now != lastSnapshotLists[list]) {
        edits[names.changesKey] = listChanges(lastSnapshotLists[list], now);
        lastSnapshotLists[list] = std::move(now);
      }
    }
    change += ",\"snapshotChanges\":";
    change += Coding::encode(edits);
  }
  change += '}';
  lastOrder = std::move(order);
  lastPromptsText = state->promptsText;
  lastSnapshotText = state->snapshotText;
  return state;
}

std::shared_ptr<const std::string> StatePublisher::publishedText(
    const SharedSession& session) const {
  const auto found = cache.find(session->id);
  return found != cache.end() && found->second.session.isSameRecord(session) ? found->second.text
                                                                              : nullptr;
}

}  // namespace tarvel::Display
