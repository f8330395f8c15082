#include "TarvelDisplay/Shared/LivePrompt.hpp"

#include <algorithm>

namespace tarvel::Display {

std::optional<std::string> mismatch(const AgentReply& reply, const AgentPendingReply& prompt) {
  switch (reply.decision) {
    case AgentReplyDecision::allow:
      if (!prompt.allowsAllow()) {
        return "this prompt cannot be allowed";
      }
      break;
    case AgentReplyDecision::deny:
      if (!prompt.allowsDeny()) {
        return "this prompt cannot be denied";
      }
      break;
    case AgentReplyDecision::cancel:
      if (!prompt.allowsCancel()) {
        return "this prompt cannot be cancelled";
      }
      break;
    case AgentReplyDecision::always:
      if (!prompt.allowsAlways()) {
        return "this prompt offers no \"always\": its agent suggested no rule to keep";
      }
      break;
    case AgentReplyDecision::option:
      if (!reply.optionId && !reply.answers) {
        return "an option answer needs \"optionId\" or \"answers\"";
      }
      break;
  }
  if (reply.optionId) {
    const bool offered =
        std::any_of(prompt.options.begin(), prompt.options.end(),
                    [&](const AgentPromptOption& option) { return option.id == *reply.optionId; });
    if (!offered) {
      return "the prompt offers no option \"" + *reply.optionId + "\"";
    }
  }
  if (reply.answers) {
    if (!prompt.questions) {
      return "the prompt asks no questions";
    }
    for (const auto& [question, labels] : *reply.answers) {
      const auto asked = std::find_if(
          prompt.questions->begin(), prompt.questions->end(),
          [&](const AgentPromptQuestion& candidate) { return candidate.text == question; });
      if (asked == prompt.questions->end()) {
        return "the prompt does not ask \"" + question + "\"";
      }
      if (labels.size() > 1 && !asked->allowsMultiple) {
        return "\"" + question + "\" takes one answer";
      }
    }
  }
  return std::nullopt;
}

}  // namespace tarvel::Display

namespace tarvel {

Json Codable<Display::LivePrompt>::encode(const Display::LivePrompt& prompt) {
  return JSONCoding::ObjectBuilder()
      .set("replyId", prompt.replyId)
      .set("sessionId", prompt.sessionId)
      .set("provider", prompt.provider)
      .set("projectName", prompt.projectName)
      .set("workingDirectory", prompt.workingDirectory)
      .set("host", prompt.host)
      .set("receivedAt", prompt.receivedAt)
      .set("expiresAt", prompt.expiresAt)
      .set("pendingReply", prompt.pendingReply)
      .build();
}

Display::LivePrompt Codable<Display::LivePrompt>::decode(const Json& value,
                                                         const std::string& path) {
  const JSONCoding::Fields fields(value, path);
  return {.replyId = fields.required<UUID>("replyId"),
          .sessionId = fields.required<std::string>("sessionId"),
          .provider = fields.required<AgentProvider>("provider"),
          .projectName = fields.optional<std::string>("projectName"),
          .workingDirectory = fields.optional<std::string>("workingDirectory"),
          .host = fields.optional<std::string>("host"),
          .receivedAt = fields.required<Date>("receivedAt"),
          .expiresAt = fields.required<Date>("expiresAt"),
          .pendingReply = fields.required<AgentPendingReply>("pendingReply")};
}

}  // namespace tarvel
