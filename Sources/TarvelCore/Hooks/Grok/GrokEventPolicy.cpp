#include "TarvelCore/Hooks/Grok/GrokEventPolicy.hpp"

#include <cstddef>

#include "TarvelCore/Hooks/ProviderTextLines.hpp"
#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel::GrokEventPolicy {
namespace {

constexpr std::string_view openingTag = "<user_query>";
constexpr std::string_view closingTag = "</user_query>";

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The tags are ASCII, so matching bytes without regard to ASCII case finds them in any UTF-8 text.
bool matchesAt(std::string_view text, std::size_t position, std::string_view tag) {
  if (text.size() - position < tag.size()) {
    return false;
  }
  for (std::size_t i = 0; i < tag.size(); ++i) {
    if (asciiLower(text[position + i]) != tag[i]) {
      return false;
    }
  }
  return true;
}

std::size_t findTag(std::string_view text, std::string_view tag, std::size_t from) {
  for (std::size_t position = from; position + tag.size() <= text.size(); ++position) {
    if (matchesAt(text, position, tag)) {
      return position;
    }
  }
  return std::string_view::npos;
}

bool isBlank(const std::optional<std::string>& text) { return !nonEmpty(text); }

bool changesWorkflow(const AgentHookPayload& payload) {
  if (const auto event = HookEventNames::fromRawEventName(payload.hookEventName)) {
    switch (*event) {
      case HookEventName::stop:
      case HookEventName::stopFailure:
      case HookEventName::stopCancelled:
      case HookEventName::sessionEnd:
      case HookEventName::subagentStart:
      case HookEventName::subagentStop:
        return true;
      default:
        break;
    }
  }
  return payload.toolName && Text::lowercased(*payload.toolName) == "workflow";
}

}  // namespace

std::string visiblePrompt(std::string_view text) {
  const std::size_t open = findTag(text, openingTag, 0);
  if (open != std::string_view::npos) {
    const std::size_t innerStart = open + openingTag.size();
    const std::size_t close = findTag(text, closingTag, innerStart);
    if (close != std::string_view::npos) {
      text = text.substr(innerStart, close - innerStart);
    }
  }
  std::string result;
  result.reserve(text.size());
  bool first = true;
  ProviderTextLines::forEachLine(text, true, [&](std::string_view line) {
    if (!first) {
      result.push_back('\n');
    }
    first = false;
    if (matchesAt(line, 0, openingTag)) {
      line.remove_prefix(openingTag.size());
    } else if (matchesAt(line, 0, closingTag)) {
      line.remove_prefix(closingTag.size());
    }
    result.append(line);
    return true;
  });
  return result;
}

bool shouldIgnoreNestedTurnEnd(const AgentHookPayload& payload) {
  return !isBlank(payload.agentType) && isBlank(payload.agentId) &&
         isBlank(payload.parentSessionId);
}

bool remapsParentScopedSubagent(const AgentProvider& provider, const AgentHookPayload& payload,
                                const std::optional<std::string>& parentSessionId) {
  return provider == AgentProvider::grok && isBlank(payload.agentId) && !parentSessionId;
}

bool shouldPublishWorkflowState(const AgentHookPayload& payload) {
  return changesWorkflow(payload);
}

bool shouldResolveSessionContext(const AgentHookPayload& payload) {
  if (changesWorkflow(payload) ||
      HookEventNames::fromRawEventName(payload.hookEventName) == HookEventName::userPromptSubmit) {
    return true;
  }
  return isBlank(payload.parentSessionId);
}

}  // namespace tarvel::GrokEventPolicy
