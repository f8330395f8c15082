#include "TarvelDisplay/StateMessages.hpp"

#include <unordered_set>

namespace tarvel::Display {
namespace {

Json idList(const SessionList& sessions) {
  Json list = Json::array();
  for (const SharedSession& session : sessions) {
    list.push_back(session->id);
  }
  return list;
}

std::string encodeService(const ServiceInfo& service) {
  return Coding::encode(Json{{"eventsReceived", service.eventsReceived},
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

// Appends `texts` as the elements of a JSON array.
void appendArray(std::string& out, const std::vector<std::shared_ptr<const std::string>>& texts) {
  out += '[';
  for (std::size_t position = 0; position < texts.size(); ++position) {
    if (position != 0) {
      out += ',';
    }
    out += *texts[position];
  }
  out += ']';
}

StatusCounts countsOf(const AgentActivityService& activity, std::size_t prompts,
                      std::uint64_t revision) {
  const NotchActivitySnapshot& snapshot = activity.notchSnapshot();
  std::size_t active = 0;
  for (const SharedSession& session : activity.sessions()) {
    active += session->isActive() ? 1 : 0;
  }
  const std::size_t waiting = std::max(snapshot.attentionCount(), prompts);
  return {.revision = revision,
          .waiting = waiting,
          .working = active > snapshot.attentionCount() ? active - snapshot.attentionCount() : 0,
          .prompts = prompts,
          .sessions = activity.sessions().size()};
}

// A session as clients get it: whole, but for only its newest events (a session keeps fifty, and
// encoding them all for every change would make the cost of an event that of fifty).
std::string encodeForClients(const AgentSession& session) {
  if (session.recentEvents.size() <= PublishedState::recentEventLimit) {
    return Coding::encode(Codable<AgentSession>::encode(session));
  }
  AgentSession trimmed = session;
  trimmed.recentEvents = AgentEventHistory(std::vector<AgentEvent>(
      session.recentEvents.begin(),
      session.recentEvents.begin() + static_cast<std::ptrdiff_t>(PublishedState::recentEventLimit)));
  return Coding::encode(Codable<AgentSession>::encode(trimmed));
}

}  // namespace

Json encodeSnapshot(const NotchActivitySnapshot& snapshot) {
  Json providers = Json::array();
  for (const AgentProvider& provider : snapshot.activeProviders) {
    providers.push_back(toJSON(provider));
  }
  Json value{{"activeGroupCount", snapshot.activeGroupCount},
             {"activeProviders", std::move(providers)},
             {"activeSessionIds", idList(snapshot.activeSessions)},
             {"attentionCount", snapshot.attentionCount()},
             {"attentionSessionIds", idList(snapshot.attentionSessions)},
             {"hiddenActiveGroupCount", snapshot.hiddenActiveGroupCount},
             {"listSessionIds", idList(snapshot.listSessions)},
             {"relatedSessionIds", idList(snapshot.relatedSessions)}};
  if (snapshot.attentionSession) {
    value["attentionSessionId"] = (*snapshot.attentionSession)->id;
  }
  return value;
}

Json encodeStatus(const StatusCounts& counts) {
  Json status{{"prompts", counts.prompts},
              {"revision", counts.revision},
              {"sessions", counts.sessions},
              {"waiting", counts.waiting},
              {"working", counts.working}};
  if (counts.remotesDown > 0) {
    status["remotesDown"] = counts.remotesDown;
  }
  return status;
}

const std::string& PublishedState::whole() const {
  std::call_once(built, [this] {
    std::size_t size = serviceText.size() + snapshotText.size() + promptsText.size() + 128;
    for (const auto& text : sessionTexts) {
      size += text->size() + 1;
    }
    wholeText.reserve(size);
    wholeText += "{\"prompts\":";
    wholeText += promptsText;
    wholeText += ",\"remotes\":";
    wholeText += remotesText;
    wholeText += ",\"revision\":";
    wholeText += std::to_string(revision);
    wholeText += ",\"service\":";
    wholeText += serviceText;
    wholeText += ",\"sessions\":";
    appendArray(wholeText, sessionTexts);
    wholeText += ",\"snapshot\":";
    wholeText += snapshotText;
    wholeText += '}';
  });
  return wholeText;
}

std::shared_ptr<const PublishedState> StatePublisher::publish(const AgentActivityService& activity,
                                                              std::vector<LivePrompt> prompts,
                                                              const ServiceInfo& service) {
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

  state->counts = countsOf(activity, prompts.size(), state->revision);
  state->serviceText = encodeService(service);
  state->remotesText = service.remotes;
  if (const auto remotes = Coding::parse(service.remotes); remotes && remotes->is_array()) {
    for (const Json& remote : *remotes) {
      state->counts.remotesDown += remote.value("connected", false) ? 0 : 1;
    }
  }
  state->snapshotText = Coding::encode(encodeSnapshot(activity.notchSnapshot()));
  state->promptsText = encodePrompts(prompts);
  state->prompts = std::move(prompts);

  std::string& change = state->change;
  change += '{';
  if (order != lastOrder) {
    change += "\"order\":";
    change += Coding::encode(Json(order));
    change += ',';
  }
  change += "\"prompts\":";
  change += state->promptsText;
  if (!removed.empty()) {
    change += ",\"removedSessionIds\":";
    change += Coding::encode(removed);
  }
  change += ",\"remotes\":";
  change += state->remotesText;
  change += ",\"revision\":";
  change += std::to_string(state->revision);
  change += ",\"service\":";
  change += state->serviceText;
  change += ",\"sessions\":";
  appendArray(change, changed);
  change += ",\"snapshot\":";
  change += state->snapshotText;
  change += '}';
  lastOrder = std::move(order);
  return state;
}

// ---------------------------------------------------------------------------------------------

std::optional<SharedSession> RemoteState::session(std::string_view id) const {
  const auto found = byId.find(std::string(id));
  if (found == byId.end()) {
    return std::nullopt;
  }
  return found->second;
}

bool RemoteState::apply(std::string_view event, std::string_view data) {
  if (event != "state" && event != "change") {
    return true;
  }
  auto parsed = Coding::parse(data);
  if (!parsed || !parsed->is_object()) {
    return false;
  }
  const Json& message = *parsed;
  try {
    const auto revision = message.at("revision").get<std::uint64_t>();
    if (event == "state") {
      byId.clear();
      order.clear();
      for (const Json& element : message.at("sessions")) {
        AgentSession session = Codable<AgentSession>::decode(element, "sessions");
        order.push_back(session.id);
        const std::string id = session.id;
        byId.insert_or_assign(id, SharedSession(std::move(session)));
      }
    } else {
      if (!hasState || revision != currentRevision + 1) {
        return false;
      }
      for (const Json& element : message.at("sessions")) {
        AgentSession session = Codable<AgentSession>::decode(element, "sessions");
        const std::string id = session.id;
        byId.insert_or_assign(id, SharedSession(std::move(session)));
      }
      if (const auto removed = message.find("removedSessionIds"); removed != message.end()) {
        for (const Json& id : *removed) {
          byId.erase(id.get<std::string>());
        }
      }
      if (const auto newOrder = message.find("order"); newOrder != message.end()) {
        order = newOrder->get<std::vector<std::string>>();
      }
    }
    applyCommon(message);
    currentRevision = revision;
    hasState = true;
  } catch (const std::exception&) {
    return false;
  }
  rebuild();
  return true;
}

void RemoteState::applyCommon(const Json& message) {
  snapshotJson = message.at("snapshot");
  std::vector<LivePrompt> prompts;
  for (const Json& element : message.at("prompts")) {
    prompts.push_back(Codable<LivePrompt>::decode(element, "prompts"));
  }
  promptList = std::move(prompts);
  const Json& service = message.at("service");
  serviceInfo = {
      .version = service.value("version", std::string()),
      .startedAt = Dates::parseISO8601(service.value("startedAt", std::string())).value_or(Date{}),
      .eventsReceived = service.value("eventsReceived", std::uint64_t{0})};
  if (const auto remotes = message.find("remotes"); remotes != message.end() && remotes->is_array()) {
    serviceInfo.remotes = Coding::encode(*remotes);
  }
}

void RemoteState::rebuild() {
  sessionList.clear();
  sessionList.reserve(order.size());
  for (const std::string& id : order) {
    if (const auto found = byId.find(id); found != byId.end()) {
      sessionList.push_back(found->second);
    }
  }
  sessionIndex = SessionIndex(sessionList);
  const auto resolve = [this](const char* key) {
    SessionList list;
    if (const auto ids = snapshotJson.find(key); ids != snapshotJson.end() && ids->is_array()) {
      for (const Json& id : *ids) {
        if (const auto found = id.is_string() ? byId.find(id.get<std::string>()) : byId.end();
            found != byId.end()) {
          list.push_back(found->second);
        }
      }
    }
    return list;
  };
  NotchActivitySnapshot snapshot;
  snapshot.activeSessions = resolve("activeSessionIds");
  snapshot.attentionSessions = resolve("attentionSessionIds");
  snapshot.listSessions = resolve("listSessionIds");
  snapshot.relatedSessions = resolve("relatedSessionIds");
  snapshot.activeGroupCount = snapshotJson.value("activeGroupCount", std::int64_t{0});
  snapshot.hiddenActiveGroupCount = snapshotJson.value("hiddenActiveGroupCount", std::int64_t{0});
  if (const auto providers = snapshotJson.find("activeProviders");
      providers != snapshotJson.end() && providers->is_array()) {
    for (const Json& provider : *providers) {
      if (auto decoded = decodeJSON<AgentProvider>(provider)) {
        snapshot.activeProviders.push_back(std::move(*decoded));
      }
    }
  }
  if (const auto id = snapshotJson.find("attentionSessionId");
      id != snapshotJson.end() && id->is_string()) {
    if (const auto found = byId.find(id->get<std::string>()); found != byId.end()) {
      snapshot.attentionSession = found->second;
    }
  }
  snapshotValue = std::move(snapshot);
}

}  // namespace tarvel::Display
