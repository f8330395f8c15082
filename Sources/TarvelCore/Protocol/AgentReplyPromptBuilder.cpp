#include "TarvelCore/Protocol/AgentReplyPromptBuilder.hpp"

#include <string>
#include <string_view>

#include "TarvelCore/Models/StringHelpers.hpp"
#include "TarvelCore/Protocol/ClaudeEventPolicy.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Protocol/ProviderEventPolicy.hpp"

namespace tarvel::AgentReplyPromptBuilder {

namespace {

constexpr std::size_t promptLimit = 160;
constexpr std::size_t detailLimit = 400;
constexpr std::size_t labelLimit = 48;

using ProviderEventPolicy::concise;

// A detail shortened to one line; a detail with nothing left to show is absent.
std::optional<std::string> shortDetail(std::string_view text) {
  std::string shortened = concise(text, detailLimit);
  if (shortened.empty()) {
    return std::nullopt;
  }
  return shortened;
}

// The trimmed string when `value` is a string with something in it.
std::optional<std::string> nonEmptyString(const JSONValue* value) {
  if (value == nullptr || value->stringValue() == nullptr) {
    return std::nullopt;
  }
  return nonEmpty(*value->stringValue());
}

AgentPendingReply base(const UUID& replyId, AgentPromptKind kind) {
  return AgentPendingReply{.replyId = replyId,
                           .kind = kind,
                           .options = {},
                           .questions = std::vector<AgentPromptQuestion>{},
                           .grants = {}};
}

AgentPendingReply permissionPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::permission);
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::allow};
  std::optional<std::string> command;
  if (const std::string* text = ProviderEventPolicy::stringInputMember(payload, "command")) {
    command = nonEmpty(*text);
  }
  const std::string* path = nullptr;
  for (const std::string_view key : {"file_path", "filePath", "path"}) {
    if ((path = ProviderEventPolicy::stringInputMember(payload, key)) != nullptr) {
      break;
    }
  }
  if (command) {
    reply.prompt = "Allow this command?";
    reply.detail = shortDetail(*command);
    return reply;
  }
  reply.prompt = ClaudeEventPolicy::approvalActivity(payload);
  if (path != nullptr) {
    reply.detail = shortDetail(*path);
  } else if (payload.toolName) {
    reply.detail = shortDetail("Allow " + ProviderEventPolicy::displayTool(*payload.toolName) + "?");
  }
  return reply;
}

AgentPendingReply questionPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::question);
  std::vector<AgentPromptQuestion> questions =
      questionModels(ProviderEventPolicy::inputMember(payload, "questions"));
  if (questions.empty()) {
    reply.prompt = "Answer in Claude";
    reply.detail = "Tarvel cannot represent this question faithfully.";
    return reply;
  }
  if (questions.size() == 1) {
    reply.prompt = concise(questions.front().text, promptLimit);
    reply.options = questions.front().options;
  } else {
    reply.prompt = "Answer " + std::to_string(questions.size()) + " questions";
  }
  reply.grants = {AgentReplyGrant::deny};
  reply.questions = std::move(questions);
  return reply;
}

AgentPendingReply planPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::plan);
  reply.prompt = "Exit plan mode and start editing?";
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::allow};
  const std::string* plan = ProviderEventPolicy::stringInputMember(payload, "plan");
  if (plan == nullptr) {
    plan = ProviderEventPolicy::stringInputMember(payload, "allowedPrompts");
  }
  if (plan != nullptr) {
    reply.detail = shortDetail(*plan);
  }
  return reply;
}

AgentPendingReply interactivePrompt(const AgentHookPayload& payload, const UUID& replyId) {
  const std::string identifier = ProviderEventPolicy::toolIdentifier(payload.toolName.value_or(""));
  if (identifier == "askuserquestion") {
    return questionPrompt(payload, replyId);
  }
  if (identifier == "exitplanmode") {
    return planPrompt(payload, replyId);
  }
  return permissionPrompt(payload, replyId);
}

AgentPendingReply elicitationPrompt(const AgentHookPayload& payload, const UUID& replyId) {
  AgentPendingReply reply = base(replyId, AgentPromptKind::elicitation);
  std::optional<std::string> text = nonEmpty(payload.notificationMessage);
  if (!text) {
    text = nonEmpty(payload.prompt);
  }
  reply.prompt = concise(text.value_or("Needs approval"), promptLimit);
  reply.grants = {AgentReplyGrant::deny, AgentReplyGrant::cancel};
  return reply;
}

}  // namespace

std::optional<AgentPendingReply> make(const AgentHookPayload& payload, const UUID& replyId) {
  if (payload.toolName) {
    const std::string identifier = ProviderEventPolicy::toolIdentifier(*payload.toolName);
    if (identifier == "askuserquestion" || identifier == "exitplanmode") {
      return interactivePrompt(payload, replyId);
    }
  }
  if (HookEventNames::fromRawEventName(payload.hookEventName) == HookEventName::elicitation ||
      ClaudeEventPolicy::isWaitingNotification(payload.notificationType)) {
    return elicitationPrompt(payload, replyId);
  }
  return permissionPrompt(payload, replyId);
}

std::vector<AgentPromptQuestion> questionModels(const JSONValue* value) {
  std::vector<AgentPromptQuestion> questions;
  const JSONValue::Array* elements = value != nullptr ? value->arrayValue() : nullptr;
  if (elements == nullptr || elements->empty() || elements->size() > 4) {
    return questions;
  }
  for (const JSONValue& element : *elements) {
    if (element.objectValue() == nullptr) {
      continue;
    }
    std::optional<std::string> text = nonEmptyString(element["question"]);
    std::vector<AgentPromptOption> choices = options(element["options"]);
    if (!text || choices.empty()) {
      continue;
    }
    const JSONValue* multiSelect = element["multiSelect"];
    questions.push_back(AgentPromptQuestion{
        .text = std::move(*text),
        .header = nonEmptyString(element["header"]),
        .options = std::move(choices),
        .allowsMultiple = multiSelect != nullptr && multiSelect->boolValue().value_or(false),
    });
  }
  return questions;
}

std::vector<AgentPromptOption> options(const JSONValue* value) {
  std::vector<AgentPromptOption> choices;
  const JSONValue::Array* elements = value != nullptr ? value->arrayValue() : nullptr;
  if (elements == nullptr) {
    return choices;
  }
  for (std::size_t index = 0; index < elements->size(); ++index) {
    const JSONValue& element = (*elements)[index];
    std::optional<std::string> label;
    if (element.objectValue() != nullptr) {
      for (const std::string_view key : {"label", "title", "text"}) {
        if (auto text = nonEmptyString(element[key])) {
          label = concise(*text, labelLimit);
          break;
        }
      }
    } else if (const std::string* text = element.stringValue()) {
      label = nonEmpty(*text);
    }
    if (label) {
      choices.push_back(
          AgentPromptOption{.id = "option-" + std::to_string(index), .label = std::move(*label)});
    }
  }
  return choices;
}

}  // namespace tarvel::AgentReplyPromptBuilder
