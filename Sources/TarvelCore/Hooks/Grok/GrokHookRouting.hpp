#pragma once

#include <filesystem>
#include <optional>

#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Coding.hpp"

// Which provider a hook invocation belongs to when Grok also fires Claude-compatible hooks, and
// when such an invocation must be skipped because a native Grok relay is installed. Pure, apart
// from the bounded read of one configuration file.
namespace tarvel::GrokHookRouting {

// True only for a Grok hook event configured as Claude Code or Cursor while a native relay
// exists: that relay already reports the event.
bool shouldSkipClaudeCompatibilityHook(bool grokHookEvent, const AgentProvider& configuredProvider,
                                       bool hasNativeRelay);

// Without an explicit provider: grok for a Grok hook event, else codex. With one: grok for a
// Grok hook event configured as Claude Code or Cursor, else the explicit provider.
AgentProvider resolvedProvider(const std::optional<AgentProvider>& explicitProvider,
                               bool grokHookEvent);

// Whether the hook configuration file (a JSON object of at most 1 MiB) has, anywhere under its
// "hooks" member, a "command" that runs "/.tarvel/bin/tarvel-hook" with "--provider grok" in one
// of its quotings. False when the file cannot be read or parsed.
bool configurationContainsNativeRelay(const std::filesystem::path& configuration);

// Whether the JSON value holds such a command (searched depth-first, without recursion).
bool containsNativeRelay(const Json& value);

}  // namespace tarvel::GrokHookRouting
