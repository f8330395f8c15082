#include "TarvelCore/Hooks/ProviderDecisionMapper.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "TarvelCore/Hooks/AgentDrivers.hpp"
#include "TarvelCore/Hooks/AgentReplyPolicy.hpp"
#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/AgentCatalogue.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::ProviderDecisionMapper {

namespace {

using Answers = std::map<std::string, std::vector<std::string>>;

constexpr std::string_view deniedMessage = "Denied from Tarvel";
constexpr std::string_view planDeniedMessage = "Plan approval denied from Tarvel";
// Matches the shortening of option labels on the display.
constexpr std::size_t shownLabelLimit = 48;

Json hookOutput(Json body) { return Json{{"hookSpecificOutput", std::move(body)}}; }

Json decisionBody(bool allowed) {
  if (allowed) {
    return Json{{"behavior", "allow"}};
  }
  return Json{{"behavior", "deny"}, {"message", deniedMessage}};
}

// The standing rules the agent suggested with this request, as it sent them; absent when it
// suggested none.
std::optional<Json> suggestedRules(const AgentHookPayload& payload) {
  if (!payload.permissionSuggestions || payload.permissionSuggestions->arrayValue() == nullptr ||
      payload.permissionSuggestions->arrayValue()->empty()) {
    return std::nullopt;
  }
  return payload.permissionSuggestions->toJSON();
}

Json permissionOutput(const AgentProvider& provider, const AgentHookPayload& payload,
                      const AgentReply& reply) {
  const AgentDriver* driver = AgentDrivers::of(provider);
  const bool ownForm = driver != nullptr && driver->permissionAnswer != nullptr;
  // "Always" stands for the agent's own suggestions, given back as they came so the agent keeps
  // the rule itself; without them (or in an answer form that has no place for them) it is no
  // valid approval.
  const std::optional<Json> rules =
      reply.decision == AgentReplyDecision::always && !ownForm ? suggestedRules(payload)
                                                               : std::nullopt;
  Json decision = decisionBody(reply.decision == AgentReplyDecision::allow || rules.has_value());
  if (rules) {
    decision["updatedPermissions"] = *rules;
  }
  if (ownForm) {
    return driver->permissionAnswer(std::move(decision));
  }
  return hookOutput(
      Json{{"hookEventName", "PermissionRequest"}, {"decision", std::move(decision)}});
}

Json preToolUseDenial(std::string_view reason) {
  return hookOutput(Json{{"hookEventName", "PreToolUse"},
                         {"permissionDecision", "deny"},
                         {"permissionDecisionReason", reason}});
}

Json preToolUseApproval(std::optional<Json> updatedInput) {
  Json body{{"hookEventName", "PreToolUse"}, {"permissionDecision", "allow"}};
  if (updatedInput) {
    body["updatedInput"] = std::move(*updatedInput);
  }
  return hookOutput(std::move(body));
}

// The tool input as a JSON object; absent when there is none or it is not an object.
std::optional<Json> toolInputObject(const AgentHookPayload& payload) {
  if (!payload.toolInput) {
    return std::nullopt;
  }
  Json value = payload.toolInput->toJSON();
  if (!value.is_object()) {
    return std::nullopt;
  }
  return value;
}

// One offered option: the label the agent gave it, and the form the display shows for it.
struct OfferedLabel {
  std::string label;
  std::optional<std::string> shown;
};

std::vector<OfferedLabel> offeredLabels(const JSONValue* options) {
  std::vector<OfferedLabel> labels;
  const JSONValue::Array* elements = options != nullptr ? options->arrayValue() : nullptr;
  if (elements == nullptr) {
    return labels;
  }
  for (const JSONValue& element : *elements) {
    if (const std::string* text = element.stringValue()) {
      labels.push_back({.label = *text, .shown = nonEmpty(*text)});
    } else if (element.objectValue() != nullptr) {
      const JSONValue* label = element["label"];
      if (label != nullptr && label->stringValue() != nullptr) {
        const std::string& text = *label->stringValue();
        std::optional<std::string> shown;
        if (nonEmpty(text)) {
          shown = ProviderEventPolicy::concise(text, shownLabelLimit);
        }
        labels.push_back({.label = text, .shown = std::move(shown)});
      }
    }
  }
  return labels;
}

// The agent's own label for a chosen one: an exact match first; else the one option whose shown
// (trimmed, shortened) form the display sent back.
std::optional<std::string> resolveLabel(const std::vector<OfferedLabel>& offered,
                                        const std::string& chosen) {
  for (const OfferedLabel& option : offered) {
    if (option.label == chosen) {
      return option.label;
    }
  }
  const OfferedLabel* match = nullptr;
  for (const OfferedLabel& option : offered) {
    if (option.shown == chosen) {
      if (match != nullptr) {
        return std::nullopt;  // ambiguous
      }
      match = &option;
    }
  }
  return match != nullptr ? std::optional<std::string>(match->label) : std::nullopt;
}

// The reply's answers when every question has a valid answer: a non-empty choice of offered
// labels, exactly one unless "multiSelect" is true. Labels come back as the agent wrote them.
std::optional<Answers> validClaudeAnswers(const AgentHookPayload& payload,
                                          const AgentReply& reply) {
  if (!reply.answers) {
    return std::nullopt;
  }
  const JSONValue* questions = ProviderEventPolicy::inputMember(payload, "questions");
  const JSONValue::Array* elements = questions != nullptr ? questions->arrayValue() : nullptr;
  if (elements == nullptr || elements->empty()) {
    return std::nullopt;
  }
  Answers answers = *reply.answers;
  for (const JSONValue& element : *elements) {
    const JSONValue* question = element["question"];
    if (question == nullptr || question->stringValue() == nullptr) {
      return std::nullopt;
    }
    const auto chosen = answers.find(*question->stringValue());
    if (chosen == answers.end() || chosen->second.empty()) {
      return std::nullopt;
    }
    const std::vector<OfferedLabel> offered = offeredLabels(element["options"]);
    for (std::string& label : chosen->second) {
      auto resolved = resolveLabel(offered, label);
      if (!resolved) {
        return std::nullopt;
      }
      label = std::move(*resolved);
    }
    const JSONValue* multiSelect = element["multiSelect"];
    const bool allowsMultiple = multiSelect != nullptr && multiSelect->boolValue() == true;
    if (!allowsMultiple && chosen->second.size() != 1) {
      return std::nullopt;
    }
  }
  return answers;
}

std::string joined(const std::vector<std::string>& labels) {
  std::string text;
  for (std::size_t index = 0; index < labels.size(); ++index) {
    if (index > 0) {
      text += ", ";
    }
    text += labels[index];
  }
  return text;
}

Json claudeQuestionOutput(const AgentHookPayload& payload, const AgentReply& reply) {
  const bool chose =
      reply.decision == AgentReplyDecision::allow || reply.decision == AgentReplyDecision::option;
  const std::optional<Answers> answers = chose ? validClaudeAnswers(payload, reply) : std::nullopt;
  if (!answers) {
    return preToolUseDenial(deniedMessage);
  }
  std::optional<Json> input = toolInputObject(payload);
  if (input) {
    Json written = Json::object();
    for (const auto& [question, labels] : *answers) {
      written[question] = joined(labels);
    }
    (*input)["answers"] = std::move(written);
  }
  return preToolUseApproval(std::move(input));
}

Json claudePlanOutput(const AgentHookPayload& payload, const AgentReply& reply) {
  std::optional<Json> input = toolInputObject(payload);
  if (reply.decision != AgentReplyDecision::allow || !input) {
    return preToolUseDenial(planDeniedMessage);
  }
  return preToolUseApproval(std::move(input));
}

Json claudeElicitationOutput(const AgentReply& reply) {
  // Forms are never filled in from the display: anything but a cancel declines.
  return hookOutput(
      Json{{"hookEventName", "Elicitation"},
           {"action", reply.decision == AgentReplyDecision::cancel ? "cancel" : "decline"}});
}

}  // namespace

Json jsonObject(const AgentProvider& provider, const AgentHookPayload& payload,
                const AgentReply& reply) {
  // Only what the agent's row says its hook answers can carry; anything else stays neutral.
  if (!AgentReplyPolicy::carriesDecision(provider, payload)) {
    return Json::object();
  }
  switch (*HookEventNames::fromRawEventName(payload.hookEventName)) {
    case HookEventName::permissionRequest:
      return permissionOutput(provider, payload, reply);
    case HookEventName::preToolUse: {
      const auto tool = AgentCatalogue::interactiveTool(provider, payload.toolName);
      if (!tool) {
        // An agent whose pre-tool hook answers its permission prompt.
        return reply.decision == AgentReplyDecision::allow ? preToolUseApproval(std::nullopt)
                                                           : preToolUseDenial(deniedMessage);
      }
      return *tool == InteractiveTool::plan ? claudePlanOutput(payload, reply)
                                            : claudeQuestionOutput(payload, reply);
    }
    case HookEventName::elicitation:
      return claudeElicitationOutput(reply);
    default:
      return Json::object();
  }
}

std::string data(const AgentProvider& provider, const AgentHookPayload& payload,
                 const AgentReply& reply) {
  try {
    // The shared encoder sorts keys and writes whole numbers as integers. In JSON text a "/" can
    // only stand inside a string, so escaping every one of them keeps the text valid.
    return Text::replacingAll(Coding::encode(jsonObject(provider, payload, reply)), "/", "\\/");
  } catch (...) {
    return "{}\n";
  }
}

std::string passiveData(const AgentProvider& provider,
                        const std::optional<std::string>& eventName) {
  const AgentDriver* driver = AgentDrivers::of(provider);
  if (driver != nullptr && driver->passiveAnswer != nullptr) {
    return driver->passiveAnswer(eventName);
  }
  return "{}";
}

}  // namespace tarvel::ProviderDecisionMapper
