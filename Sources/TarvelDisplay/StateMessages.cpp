#include "TarvelDisplay/StateMessages.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace tarvel::Display {
namespace {

// The edits that turn the list of distinct ids `before` into `after`, so that a change message
// carries what moved rather than the whole list: {"placed":[{"id","index"}...],"removed":[...]}.
// The ids left in place are the longest run of `before` that `after` keeps in the same order
// (found in n log n); every other id of `after` is placed at its index, in index order.
Json listChanges(const std::vector<std::string>& before, const std::vector<std::string>& after) {
  std::unordered_map<std::string_view, std::size_t> oldPosition;
  oldPosition.reserve(before.size());
  for (std::size_t position = 0; position < before.size(); ++position) {
    oldPosition.emplace(before[position], position);
  }
  std::unordered_set<std::string_view> kept;
  kept.reserve(after.size());
  std::vector<std::size_t> oldAt(after.size(), SIZE_MAX);  // SIZE_MAX: new to the list
  for (std::size_t index = 0; index < after.size(); ++index) {
    kept.insert(after[index]);
    if (const auto found = oldPosition.find(after[index]); found != oldPosition.end()) {
      oldAt[index] = found->second;
    }
  }
  // Longest increasing run of old positions along `after`: tails[k] ends the best run of k + 1.
  std::vector<std::size_t> tails;  // indices into `after`
  std::vector<std::size_t> previous(after.size(), SIZE_MAX);
  for (std::size_t index = 0; index < after.size(); ++index) {
    if (oldAt[index] == SIZE_MAX) {
      continue;
    }
    const auto slot = std::lower_bound(
        tails.begin(), tails.end(), oldAt[index],
        [&](std::size_t tail, std::size_t value) { return oldAt[tail] < value; });
    if (slot != tails.begin()) {
      previous[index] = *(slot - 1);
    }
    if (slot == tails.end()) {
      tails.push_back(index);
    } else {
      *slot = index;
    }
  }
  std::vector<bool> inPlace(after.size(), false);
  for (std::size_t index = tails.empty() ? SIZE_MAX : tails.back(); index != SIZE_MAX;
       index = previous[index]) {
    inPlace[index] = true;
  }
  Json placed = Json::array();
  for (std::size_t index = 0; index < after.size(); ++index) {
    if (!inPlace[index]) {
      placed.push_back(Json{{"id", after[index]}, {"index", index}});
    }
  }
  Json removed = Json::array();
  for (const std::string& id : before) {
    if (kept.count(id) == 0) {
      removed.push_back(id);
    }
  }
  return Json{{"placed", std::move(placed)}, {"removed", std::move(removed)}};
}

// Applies listChanges() to `list`; false when they do not fit it.
bool applyListChanges(std::vector<std::string>& list, const Json& changes) {
  if (!changes.is_object()) {
    return false;
  }
  const Json placed = changes.value("placed", Json::array());
  const Json removed = changes.value("removed", Json::array());
  if (!placed.is_array() || !removed.is_array()) {
    return false;
  }
  std::unordered_set<std::string> gone;
  for (const Json& id : removed) {
    if (!id.is_string()) {
      return false;
    }
    gone.insert(id.get<std::string>());
  }
  for (const Json& item : placed) {
    if (!item.is_object() || !item.contains("id") || !item["id"].is_string()) {
      return false;
    }
    gone.insert(item["id"].get<std::string>());
  }
  std::erase_if(list, [&](const std::string& id) { return gone.count(id) != 0; });
  for (const Json& item : placed) {
    const auto index = item.value("index", SIZE_MAX);
    if (index > list.size()) {
      return false;
    }
    list.insert(list.begin() + static_cast<std::ptrdiff_t>(index), item["id"].get<std::string>());
  }
  return true;
}

// The id lists of the snapshot that may hold every session; a change message carries their edits.
struct SnapshotList {
  const char* key;         // the whole list's key in the snapshot
  const char* changesKey;  // its edits' key in a change message's "snapshotChanges"
};
constexpr std::array<SnapshotList, 3> longSnapshotLists{{
    {"activeSessionIds", "activeSessionIdChanges"},
    {"attentionSessionIds", "attentionSessionIdChanges"},
    {"relatedSessionIds", "relatedSessionIdChanges"},
}};

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

// A session waits exactly while it has a live prompt: every surface counts from that one list.
StatusCounts countsOf(const AgentActivityService& activity, const std::vector<LivePrompt>& prompts,
                      std::uint64_t revision) {
  std::unordered_set<std::string_view> waitingSessions;
  for (const LivePrompt& prompt : prompts) {
    waitingSessions.insert(prompt.sessionId);
  }
  std::size_t working = 0;
  for (const SharedSession& session : activity.sessions()) {
    working += session->isActive() && waitingSessions.count(session->id) == 0 ? 1 : 0;
  }
  return {.revision = revision,
          .waiting = waitingSessions.size(),
          .working = working,
          .prompts = prompts.size(),
          .sessions = activity.sessions().size()};
}

// A session as the state and its changes carry it: every key but its event history (a session
// keeps fifty events; GET /v1/sessions/{id} gives them).
std::string encodeForClients(const AgentSession& session) {
  return Coding::encode(encodeWithoutEvents(session));
}

}  // namespace

Json encodeSnapshot(const NotchActivitySnapshot& snapshot) {
  Json providers = Json::array();
  for (const AgentProvider& provider : snapshot.activeProviders) {
    providers.push_back(toJSON(provider));
  }
  Json value{{"activeGroupCount", snapshot.activeGroupCount},
             {"activeProviders", std::move(providers)},
             {"activeSessionIds", sessionIds(snapshot.activeSessions)},
             {"attentionCount", snapshot.attentionCount()},
             {"attentionSessionIds", sessionIds(snapshot.attentionSessions)},
             {"hiddenActiveGroupCount", snapshot.hiddenActiveGroupCount},
             {"listSessionIds", sessionIds(snapshot.listSessions)},
             {"relatedSessionIds", sessionIds(snapshot.relatedSessions)}};
  if (snapshot.attentionSession) {
    value["attentionSessionId"] = (*snapshot.attentionSession)->id;
  }
  return value;
}

Json encodeStatus(const StatusCounts& counts) {
  Json status{{"eventsReceived", counts.eventsReceived},
              {"prompts", counts.prompts},
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
    wholeText += "{\"answerers\":";
    wholeText += answerersText;
    wholeText += ",\"endedPrompts\":";
    wholeText += endedPromptsText;
    wholeText += ",\"prompts\":";
    wholeText += promptsText;
    wholeText += ",\"recentAnswers\":";
    wholeText += recentAnswersText;
    wholeText += ",\"remotes\":";
    wholeText += remotesText;
    wholeText += ",\"revision\":";
    wholeText += std::to_string(revision);
    wholeText += ",\"service\":";
    wholeText += serviceText;
    wholeText += ",\"sessionOutcomes\":";
    wholeText += sessionOutcomesText;
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

std::optional<std::string> encodeSessionDetail(const PublishedState& state, std::string_view id) {
  for (const SharedSession& session : state.sessions) {
    if (session->id == id) {
      return encodeSessionText(*session);
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

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
