#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "TarvelCore/Sessions/AgentActivityService.hpp"
#include "TarvelDisplay/Shared/StateMessages.hpp"

namespace tarvel::Display {

// Makes published revisions from the activity service, encoding only sessions whose record
// changed since the last revision.
// Thread: confined to the service's thread (it reads the activity service).
class StatePublisher {
 public:
  // `answerers`: the surfaces that can answer now (Answerers::encoded()); `endedPrompts`,
  // `sessionOutcomes`: what became of the last prompts (PromptEndings); `recentAnswers`: the
  // newest rows of the answer history.
  std::shared_ptr<const PublishedState> publish(const AgentActivityService& activity,
                                                std::vector<LivePrompt> prompts,
                                                const ServiceInfo& service,
                                                const Json& answerers = Json::array(),
                                                const Json& endedPrompts = Json::array(),
                                                const Json& sessionOutcomes = Json::object(),
                                                const Json& recentAnswers = Json::array());
  std::uint64_t revision() const { return lastRevision; }
  // The text of this very record (the session without its events) as last published; null when
  // that record was not.
  std::shared_ptr<const std::string> publishedText(const SharedSession& session) const;

 private:
  struct Entry {
    SharedSession session;
    std::shared_ptr<const std::string> text;
  };
  std::unordered_map<std::string, Entry> cache;
  std::vector<std::string> lastOrder;
  std::string lastPromptsText;
  std::string lastSnapshotText;
  // The snapshot's lists that may hold every session, as last sent.
  std::array<std::vector<std::string>, 3> lastSnapshotLists;
  std::string lastAnswerers = "[]";
  std::string lastEndedPrompts = "[]";
  std::string lastSessionOutcomes = "{}";
  std::string lastRecentAnswers = "[]";
  std::uint64_t lastRevision = 0;
};

}  // namespace tarvel::Display
