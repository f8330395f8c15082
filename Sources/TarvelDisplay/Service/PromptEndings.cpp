#include "TarvelDisplay/Service/PromptEndings.hpp"

#include <algorithm>

namespace tarvel::Display {

void PromptEndings::ended(const LivePrompt& prompt, std::string_view outcome, std::string_view by,
                          Date endedAt) {
  const std::scoped_lock guard(mutex);
  endLocked(prompt,
            {.replyId = prompt.replyId,
             .sessionId = prompt.sessionId,
             .outcome = std::string(outcome),
             .by = std::string(by),
             .endedAt = endedAt});
}

void PromptEndings::endedBeforeItsEvent(const UUID& replyId, std::string_view outcome,
                                        std::string_view by, Date endedAt) {
  const std::scoped_lock guard(mutex);
  std::erase_if(unseen, [&](const auto& entry) { return entry.second.endedAt + eventWait < endedAt; });
  if (unseen.size() < keptOutcomes) {
    unseen.insert_or_assign(replyId, Ending{.replyId = replyId,
                                            .outcome = std::string(outcome),
                                            .by = std::string(by),
                                            .endedAt = endedAt});
  }
}

bool PromptEndings::arrived(const LivePrompt& prompt) {
  const std::scoped_lock guard(mutex);
  const auto found = unseen.find(prompt.replyId);
  if (found == unseen.end()) {
    return false;
  }
  Ending ending = std::move(found->second);
  unseen.erase(found);
  ending.sessionId = prompt.sessionId;
  endLocked(prompt, ending);
  return true;
}

void PromptEndings::endLocked(const LivePrompt& prompt, const Ending& ending) {
  endings.push_back(ending);
  while (endings.size() > keptEndings) {
    endings.pop_front();
  }
  outcomes.insert_or_assign(ending.sessionId, ending);
  if (outcomes.size() > keptOutcomes) {
    outcomes.erase(
        std::min_element(outcomes.begin(), outcomes.end(), [](const auto& a, const auto& b) {
          return a.second.endedAt < b.second.endedAt;
        }));
  }
  if (history == nullptr) {
    return;
  }
  const AgentPendingReply& asked = prompt.pendingReply;
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(ending.endedAt -
                                                                            prompt.receivedAt);
  history->add({.endedAt = ending.endedAt,
                .agent = prompt.provider.rawValue,
                .sessionId = prompt.sessionId,
                .project = prompt.projectName,
                .workingDirectory = prompt.workingDirectory,
                .host = prompt.host,
                .kind = toJSON(asked.kind).get<std::string>(),
                .prompt = asked.prompt,
                .detail = asked.fullDetail ? asked.fullDetail : asked.detail,
                .outcome = ending.outcome,
                .by = ending.by,
                .waitedMilliseconds = std::max<std::int64_t>(0, waited.count())});
}

void PromptEndings::sessionWentOn(const std::string& sessionId) {
  const std::scoped_lock guard(mutex);
  outcomes.erase(sessionId);
}

Json PromptEndings::encodedEndings() const {
  const std::scoped_lock guard(mutex);
  Json list = Json::array();
  for (const Ending& ending : endings) {
    list.push_back(Json{{"by", ending.by},
                        {"endedAt", Dates::iso8601(ending.endedAt)},
                        {"outcome", ending.outcome},
                        {"replyId", ending.replyId.uuidString()},
                        {"sessionId", ending.sessionId}});
  }
  return list;
}

Json PromptEndings::encodedSessionOutcomes() const {
  const std::scoped_lock guard(mutex);
  Json map = Json::object();
  for (const auto& [sessionId, ending] : outcomes) {
    map[sessionId] = Json{{"by", ending.by},
                          {"endedAt", Dates::iso8601(ending.endedAt)},
                          {"outcome", ending.outcome}};
  }
  return map;
}

}  // namespace tarvel::Display
