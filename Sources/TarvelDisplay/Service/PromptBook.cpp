#include "TarvelDisplay/Service/PromptBook.hpp"

#include <algorithm>

namespace tarvel::Display {

std::optional<std::string> toolCallOf(const AgentEvent& event) {
  if (!event.metadata) {
    return std::nullopt;
  }
  const auto found = event.metadata->find("toolCallId");
  if (found == event.metadata->end() || found->second.empty()) {
    return std::nullopt;
  }
  return found->second;
}

LivePrompt livePromptOf(const AgentEvent& event, const std::optional<std::string>& projectName,
                        Date receivedAt) {
  const bool local = event.origin && !event.origin->host;
  return {.replyId = event.pendingReply->replyId,
          .sessionId = event.provider.namespacedSessionID(event.sessionId),
          .provider = event.provider,
          .projectName = projectName,
          .workingDirectory = event.workingDirectory,
          .host = event.origin ? event.origin->host : std::nullopt,
          .receivedAt = receivedAt,
          .pendingReply = *event.pendingReply,
          .agentProcess = local ? event.origin->processIdentifier : std::nullopt,
          .agentStartedAt = local ? event.origin->processStartedAt : std::nullopt,
          .toolCallId = toolCallOf(event)};
}

void PromptBook::record(const AgentEvent& event, const std::optional<std::string>& projectName,
                        Date receivedAt) {
  if (!event.pendingReply) {
    return;
  }
  const std::scoped_lock guard(mutex);
  const UUID& replyId = event.pendingReply->replyId;
  if (over.count(replyId) != 0) {
    return;  // its hook is already gone: a late event does not bring it back
  }
  Record& entry = records[replyId];
  const Date expiresAt = entry.prompt.expiresAt;
  entry.prompt = livePromptOf(event, projectName, receivedAt);
  entry.prompt.expiresAt = expiresAt;
  if (const auto hook = registered.find(replyId); hook != registered.end()) {
    entry.registered = true;
    entry.prompt.expiresAt = hook->second.expiresAt;
  }
  ++changes;
  pruneLocked(receivedAt);
}

std::vector<LivePrompt> PromptBook::setRegistrations(
    const std::vector<UnixReplyServer::Registration>& registrations) {
  const std::scoped_lock guard(mutex);
  std::map<UUID, UnixReplyServer::Registration> now;
  for (const auto& registration : registrations) {
    if (over.count(registration.replyId) == 0) {
      now.emplace(registration.replyId, registration);
    }
  }
  // Registered before and gone now: over for good.
  std::vector<UUID> ended;
  for (const auto& [replyId, registration] : registered) {
    if (now.count(replyId) == 0) {
      ended.push_back(replyId);
    }
  }
  registered = std::move(now);
  std::vector<LivePrompt> gone;
  for (const UUID& replyId : ended) {
    if (answering.count(replyId) != 0) {
      continue;  // its claimer finishes it, together with its session's change
    }
    if (const auto entry = records.find(replyId); entry != records.end()) {
      gone.push_back(entry->second.prompt);
    }
    finishLocked(replyId);
  }
  for (const auto& [replyId, registration] : registered) {
    if (const auto entry = records.find(replyId); entry != records.end()) {
      entry->second.registered = true;
      entry->second.prompt.expiresAt = registration.expiresAt;
    }
  }
  ++changes;
  pruneLocked(Dates::now());
  return gone;
}

bool PromptBook::claim(const UUID& replyId) {
  const std::scoped_lock guard(mutex);
  return over.count(replyId) == 0 && answering.insert(replyId).second;
}

bool PromptBook::isClaimed(const UUID& replyId) const {
  const std::scoped_lock guard(mutex);
  return answering.count(replyId) != 0;
}

std::optional<LivePrompt> PromptBook::finish(const UUID& replyId) {
  const std::scoped_lock guard(mutex);
  std::optional<LivePrompt> prompt;
  if (const auto entry = records.find(replyId); entry != records.end()) {
    prompt = entry->second.prompt;
  }
  registered.erase(replyId);
  answering.erase(replyId);
  finishLocked(replyId);
  ++changes;
  return prompt;
}

void PromptBook::finishLocked(const UUID& replyId) {
  records.erase(replyId);
  if (over.insert(replyId).second) {
    overOrder.push_back(replyId);
    if (overOrder.size() > maximumRecords) {
      over.erase(overOrder.front());
      overOrder.pop_front();
    }
  }
}

void PromptBook::pruneLocked(Date now) {
  for (auto entry = records.begin(); entry != records.end();) {
    const bool stale = !entry->second.registered && registered.count(entry->first) == 0 &&
                       entry->second.prompt.receivedAt + unregisteredLifetime < now;
    entry = stale ? records.erase(entry) : std::next(entry);
  }
  while (records.size() > maximumRecords) {
    const auto oldest =
        std::min_element(records.begin(), records.end(), [](const auto& a, const auto& b) {
          return a.second.prompt.receivedAt < b.second.prompt.receivedAt;
        });
    records.erase(oldest);
  }
}

std::vector<LivePrompt> PromptBook::live() const {
  const std::scoped_lock guard(mutex);
  std::vector<LivePrompt> list;
  for (const auto& [replyId, entry] : records) {
    // One being answered or released stays listed until it is finished, even when its hook has
    // its answer and left: it leaves the list together with its session's change.
    if (registered.count(replyId) != 0 || answering.count(replyId) != 0) {
      list.push_back(entry.prompt);
    }
  }
  std::stable_sort(list.begin(), list.end(), [](const LivePrompt& a, const LivePrompt& b) {
    return a.receivedAt < b.receivedAt;
  });
  return list;
}

bool PromptBook::mayHaveLive() const {
  const std::scoped_lock guard(mutex);
  return !registered.empty();
}

std::uint64_t PromptBook::generation() const {
  const std::scoped_lock guard(mutex);
  return changes;
}

PromptBook::Lookup PromptBook::lookup(const UUID& replyId) const {
  const std::scoped_lock guard(mutex);
  const auto entry = records.find(replyId);
  if (entry != records.end() && registered.count(replyId) != 0) {
    return {.kind = Lookup::Kind::live, .prompt = entry->second.prompt};
  }
  if (entry != records.end() || over.count(replyId) != 0 || registered.count(replyId) != 0) {
    return {.kind = Lookup::Kind::over};
  }
  return {.kind = Lookup::Kind::unknown};
}

bool PromptBook::hasEnded(const UUID& replyId) const {
  const std::scoped_lock guard(mutex);
  return over.count(replyId) != 0;
}

}  // namespace tarvel::Display
