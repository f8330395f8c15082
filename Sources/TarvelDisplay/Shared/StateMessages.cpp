#include "TarvelDisplay/Shared/StateMessages.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "TarvelCore/Sessions/AgentSession.hpp"

namespace tarvel::Display {

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

std::optional<std::string> encodeSessionDetail(const PublishedState& state, std::string_view id) {
  for (const SharedSession& session : state.sessions) {
    if (session->id == id) {
      return encodeSessionText(*session);
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::Display
