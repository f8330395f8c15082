#include "TarvelDisplay/Client/RemoteState.hpp"

namespace tarvel::Display {

namespace {

// The state carries sessions without their event history.
AgentSession decodeSession(const Json& element) {
  if (element.is_object() && !element.contains("recentEvents")) {
    Json whole = element;
    whole["recentEvents"] = Json::array();
    return Codable<AgentSession>::decode(whole, "sessions");
  }
  return Codable<AgentSession>::decode(element, "sessions");
}

std::vector<LivePrompt> decodePrompts(const Json& list) {
  std::vector<LivePrompt> prompts;
  for (const Json& element : list) {
    prompts.push_back(Codable<LivePrompt>::decode(element, "prompts"));
  }
  return prompts;
}

}  // namespace

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
        AgentSession session = decodeSession(element);
        order.push_back(session.id);
        const std::string id = session.id;
        byId.insert_or_assign(id, SharedSession(std::move(session)));
      }
      snapshotJson = message.at("snapshot");
      promptList = decodePrompts(message.at("prompts"));
    } else {
      if (!hasState || revision != currentRevision + 1) {
        return false;
      }
      for (const Json& element : message.at("sessions")) {
        AgentSession session = decodeSession(element);
        const std::string id = session.id;
        byId.insert_or_assign(id, SharedSession(std::move(session)));
      }
      if (const auto removed = message.find("removedSessionIds"); removed != message.end()) {
        for (const Json& id : *removed) {
          byId.erase(id.get<std::string>());
        }
      }
      if (const auto edits = message.find("orderChanges"); edits != message.end()) {
        if (!applyListChanges(order, *edits)) {
          return false;
        }
      }
      if (const auto edits = message.find("snapshotChanges"); edits != message.end()) {
        if (!applySnapshotChanges(*edits)) {
          return false;
        }
      }
      if (const auto prompts = message.find("prompts"); prompts != message.end()) {
        promptList = decodePrompts(*prompts);
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

bool RemoteState::applySnapshotChanges(const Json& changes) {
  if (!changes.is_object()) {
    return false;
  }
  Json next = changes;
  for (const SnapshotList& names : longSnapshotLists) {
    next.erase(names.changesKey);
    std::vector<std::string> list;
    if (const auto held = snapshotJson.find(names.key);
        held != snapshotJson.end() && held->is_array()) {
      list = held->get<std::vector<std::string>>();
    }
    if (const auto edits = changes.find(names.changesKey);
        edits != changes.end() && !applyListChanges(list, *edits)) {
      return false;
    }
    next[names.key] = std::move(list);
  }
  snapshotJson = std::move(next);
  return true;
}

void RemoteState::applyCommon(const Json& message) {
  if (const auto ended = message.find("endedPrompts");
      ended != message.end() && ended->is_array()) {
    endedList = *ended;
  }
  if (const auto outcomes = message.find("sessionOutcomes");
      outcomes != message.end() && outcomes->is_object()) {
    outcomeMap = *outcomes;
  }
  if (const auto answers = message.find("recentAnswers");
      answers != message.end() && answers->is_array()) {
    recentList = *answers;
  }
  const Json& service = message.at("service");
  serviceInfo = {
      .version = service.value("version", std::string()),
      .startedAt = Dates::parseISO8601(service.value("startedAt", std::string())).value_or(Date{}),
      .eventsReceived = service.value("eventsReceived", std::uint64_t{0})};
  if (const auto last = service.find("lastEvents"); last != service.end() && last->is_object()) {
    for (const auto& [provider, date] : last->items()) {
      if (const auto parsed = date.is_string() ? Dates::parseISO8601(date.get<std::string>())
                                               : std::nullopt) {
        serviceInfo.lastEvents.emplace(provider, *parsed);
      }
    }
  }
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
