#include "TarvelCore/Hooks/Antigravity/AntigravityEventPolicy.hpp"

#include <array>
#include <string_view>

#include "TarvelCore/Hooks/ProviderEventPolicy.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::AntigravityEventPolicy {
namespace {

constexpr std::array<std::string_view, 4> filePathKeys{
    "TargetFile",
    "target_file",
    "AbsolutePath",
    "absolute_path",
};

std::optional<std::string> rewrittenToolName(const std::string& name) {
  const std::string identifier = ProviderEventPolicy::toolIdentifier(name);
  if (identifier == "client_create_file" || identifier == "client_write_file") {
    return "write_to_file";
  }
  if (identifier == "client_edit_file") {
    return "replace_file_content";
  }
  if (identifier == "client_view_file") {
    return "view_file";
  }
  return std::nullopt;
}

void rewriteToolInput(JSONValue::Object& input) {
  if (!input.contains("command")) {
    for (const std::string_view key : {"CommandLine", "command_line"}) {
      if (const auto found = input.find(key); found != input.end()) {
        JSONValue copy = found->second;
        input.emplace("command", std::move(copy));
        break;
      }
    }
  }
  if (!input.contains("file_path")) {
    for (const std::string_view key : filePathKeys) {
      if (const auto found = input.find(key); found != input.end()) {
        JSONValue copy = found->second;
        input.emplace("file_path", std::move(copy));
        break;
      }
    }
  }
}

void rewriteLifecycle(AgentHookPayload& payload) {
  const auto event = HookEventNames::fromRawEventName(payload.hookEventName);
  if (!event) {
    return;
  }
  if (*event == HookEventName::stop && payload.reason &&
      Text::normalizedWord(*payload.reason) == "max_steps_exceeded") {
    payload.hookEventName = "StopCancelled";
    payload.reason = "max_turns";
  } else if (*event == HookEventName::postToolUse && nonEmpty(payload.error)) {
    payload.hookEventName = "PostToolUseFailure";
  } else if (*event == HookEventName::userPromptSubmit && payload.invocationNum == 0) {
    payload.hookEventName = "SessionStart";
  }
}

}  // namespace

bool isWaitingTool(const std::optional<std::string>& toolName) {
  if (!toolName) {
    return false;
  }
  const std::string identifier = ProviderEventPolicy::toolIdentifier(*toolName);
  return identifier == "ask_question" || identifier == "ask_permission";
}

std::string waitingActivity(const AgentHookPayload& payload) {
  if (!payload.toolName) {
    return "Needs approval";
  }
  const std::string identifier = ProviderEventPolicy::toolIdentifier(*payload.toolName);
  if (identifier == "ask_question") {
    return ProviderEventPolicy::questionActivity(payload);
  }
  if (identifier == "ask_permission") {
    for (const std::string_view key : {"Reason", "reason"}) {
      const std::string* text = ProviderEventPolicy::stringInputMember(payload, key);
      if (text == nullptr) {
        continue;
      }
      if (const auto reason = nonEmpty(*text)) {
        return ProviderEventPolicy::concise(*reason, 90);
      }
    }
  }
  return "Needs approval";
}

ProviderHookEnrichment enrich(const AgentHookPayload& payload) {
  ProviderHookEnrichment enrichment{.payload = payload};
  AgentHookPayload& rewritten = enrichment.payload;
  if (rewritten.toolName) {
    if (auto name = rewrittenToolName(*rewritten.toolName)) {
      rewritten.toolName = std::move(*name);
    }
  }
  if (rewritten.toolInput) {
    if (JSONValue::Object* input = rewritten.toolInput->objectValue()) {
      rewriteToolInput(*input);
    }
  }
  rewriteLifecycle(rewritten);
  enrichment.permissionRequestRequiresUserInput = true;
  return enrichment;
}

std::string passiveResponse(const std::optional<std::string>& eventName) {
  const auto event = HookEventNames::fromRawEventName(eventName.value_or(""));
  if (event == HookEventName::stop) {
    return "{\"decision\":\"stop\"}\n";
  }
  return "{}\n";
}

}  // namespace tarvel::AntigravityEventPolicy
