#include <gtest/gtest.h>

#include "TarvelCore/Models/HookEventName.hpp"
#include "TarvelCore/Platform/StringHelpers.hpp"

namespace tarvel {
namespace {

TEST(HookEventName, EveryAliasInAnyCaseAndWithSeparators) {
  struct Case {
    const char* name;
    HookEventName expected;
  };
  const Case cases[] = {
      {"SessionStart", HookEventName::sessionStart},
      {"session_start", HookEventName::sessionStart},
      {"UserPromptSubmit", HookEventName::userPromptSubmit},
      {"beforeSubmitPrompt", HookEventName::userPromptSubmit},
      {"BeforeAgent", HookEventName::userPromptSubmit},
      {"pre-invocation", HookEventName::userPromptSubmit},
      {"PreToolUse", HookEventName::preToolUse},
      {"pre_tool_use", HookEventName::preToolUse},
      {"pre-tool-use", HookEventName::preToolUse},
      {"BEFORETOOL", HookEventName::preToolUse},
      {"PostToolUse", HookEventName::postToolUse},
      {"AfterTool", HookEventName::postToolUse},
      {"PostToolUseFailure", HookEventName::postToolUseFailure},
      {"PermissionRequest", HookEventName::permissionRequest},
      {"permission_denied", HookEventName::permissionDenied},
      {"Elicitation", HookEventName::elicitation},
      {"ElicitationResult", HookEventName::elicitationResult},
      {"notification", HookEventName::notification},
      {"Stop", HookEventName::stop},
      {"AfterAgent", HookEventName::stop},
      {"S_t-o_p", HookEventName::stop},
      {"StopFailure", HookEventName::stopFailure},
      {"StopCancelled", HookEventName::stopCancelled},
      {"Interrupt", HookEventName::stopCancelled},
      {"SessionEnd", HookEventName::sessionEnd},
      {"SubagentStart", HookEventName::subagentStart},
      {"SubagentStop", HookEventName::subagentStop},
      {"subagent-end", HookEventName::subagentStop},
      {"___stop___", HookEventName::stop},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HookEventNames::fromRawEventName(c.name), c.expected);
  }
  for (const auto& [item, raw] : EnumNames<HookEventName>::table) {
    SCOPED_TRACE(raw);
    EXPECT_EQ(HookEventNames::fromRawEventName(raw), item);
    EXPECT_EQ(HookEventNames::fromRawEventName(Text::lowercased(raw)), item);
    EXPECT_EQ(HookEventNames::fromRawValue(raw), item);
  }
}

TEST(HookEventName, UnknownNamesAndSpacesGiveNothing) {
  const std::string longSeparators = std::string(100000, '_') + "Stop";
  const char* names[] = {" Stop", "Stop ", "Sto p", "", "PreCompact", "BeforeModel",
                         "MessageDisplay", "stopped", "\xEF\xBC\xB3top" /* fullwidth S */};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(HookEventNames::fromRawEventName(name), std::nullopt);
  }
  // Separators are removed before the length matters.
  EXPECT_EQ(HookEventNames::fromRawEventName(longSeparators), HookEventName::stop);
  EXPECT_EQ(HookEventNames::fromRawEventName(std::string(100000, 'x')), std::nullopt);
  // Exact raw values only.
  EXPECT_EQ(HookEventNames::fromRawValue("stop"), std::nullopt);
}

TEST(HookEventName, MetadataNameKeepsSpellingsAndCanonicalisesAliases) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {"session_start", "session_start"}, {"PRE-TOOL-USE", "PRE-TOOL-USE"},
      {"BeforeTool", "PreToolUse"},       {"BeforeAgent", "UserPromptSubmit"},
      {"interrupt", "StopCancelled"},     {"after_agent", "Stop"},
      {"subagentEnd", "SubagentStop"},    {"PreCompact", "PreCompact"},
      {" Stop", " Stop"},                 {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HookEventNames::metadataName(c.name), c.expected);
  }
}

}  // namespace
}  // namespace tarvel
