#include "TarvelCore/Models/HookEventName.hpp"

#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

// Normalised spellings (see HookEventNames::normalized) and the case each one names.
constexpr std::array<std::pair<std::string_view, HookEventName>, 26> aliases{{
    {"sessionstart", HookEventName::sessionStart},
    {"userpromptsubmit", HookEventName::userPromptSubmit},
    {"beforesubmitprompt", HookEventName::userPromptSubmit},
    {"beforeagent", HookEventName::userPromptSubmit},
    {"preinvocation", HookEventName::userPromptSubmit},
    {"userpromptsubmitted", HookEventName::userPromptSubmit},
    {"pretooluse", HookEventName::preToolUse},
    {"beforetool", HookEventName::preToolUse},
    {"posttooluse", HookEventName::postToolUse},
    {"aftertool", HookEventName::postToolUse},
    {"posttoolusefailure", HookEventName::postToolUseFailure},
    {"permissionrequest", HookEventName::permissionRequest},
    {"permissiondenied", HookEventName::permissionDenied},
    {"elicitation", HookEventName::elicitation},
    {"elicitationresult", HookEventName::elicitationResult},
    {"notification", HookEventName::notification},
    {"stop", HookEventName::stop},
    {"afteragent", HookEventName::stop},
    {"agentstop", HookEventName::stop},
    {"stopfailure", HookEventName::stopFailure},
    {"stopcancelled", HookEventName::stopCancelled},
    {"interrupt", HookEventName::stopCancelled},
    {"sessionend", HookEventName::sessionEnd},
    {"subagentstart", HookEventName::subagentStart},
    {"subagentstop", HookEventName::subagentStop},
    {"subagentend", HookEventName::subagentStop},
}};

}  // namespace

bool isTerminal(HookEventName name) {
  switch (name) {
    case HookEventName::stop:
    case HookEventName::stopFailure:
    case HookEventName::stopCancelled:
    case HookEventName::sessionEnd:
      return true;
    default:
      return false;
  }
}

bool resumesSession(HookEventName name) { return name == HookEventName::userPromptSubmit; }

namespace HookEventNames {

std::string_view rawValue(HookEventName name) { return tarvel::rawValue(name); }

std::optional<HookEventName> fromRawValue(std::string_view text) {
  return tarvel::fromRawValue<HookEventName>(text);
}

namespace {

std::string withoutSeparators(std::string_view name) {
  std::string stripped;
  stripped.reserve(name.size());
  for (const char c : name) {
    if (c != '_' && c != '-') {
      stripped.push_back(c);
    }
  }
  return stripped;
}

}  // namespace

std::string normalized(std::string_view name) { return Text::lowercased(withoutSeparators(name)); }

std::optional<HookEventName> fromRawEventName(std::string_view name) {
  // The longest alias has 18 letters and lower-casing shrinks a code point to no less than a
  // quarter of its bytes, so a longer stripped name cannot match; skip lower-casing it.
  constexpr std::size_t longestMatchingBytes = 18 * 4;
  const std::string stripped = withoutSeparators(name);
  if (stripped.size() > longestMatchingBytes) {
    return std::nullopt;
  }
  const std::string key = Text::lowercased(stripped);
  for (const auto& [alias, item] : aliases) {
    if (alias == key) {
      return item;
    }
  }
  return std::nullopt;
}

std::string metadataName(std::string_view name) {
  const auto item = fromRawEventName(name);
  if (!item) {
    return std::string(name);
  }
  if (normalized(name) == normalized(rawValue(*item))) {
    return std::string(name);
  }
  return std::string(rawValue(*item));
}

}  // namespace HookEventNames
}  // namespace tarvel
