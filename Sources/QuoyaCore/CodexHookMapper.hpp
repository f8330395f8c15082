#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/Result.hpp"

namespace quoya {

// The six keys the island reads from a Codex, Claude Code or Gemini CLI hook document; every
// other key is ignored. A null optional key counts as absent.
struct CodexHookInput {
  std::string sessionID;                          // "session_id"
  std::string eventName;                          // "hook_event_name"
  std::optional<std::string> cwd;                 // "cwd"
  std::optional<std::string> turnID;              // "turn_id"
  std::optional<std::string> toolName;            // "tool_name"
  std::optional<std::string> notificationType;    // "notification_type"

  bool operator==(const CodexHookInput&) const = default;

  // Decodes the document without building it in memory: only the six keys are kept, so a
  // document of any shape costs little more than its own bytes. Fails on invalid JSON or UTF-8,
  // nesting deeper than 512 levels, a document that is not an object, a missing required key,
  // or a non-string value under any of the six keys.
  static tarvel::Result<CodexHookInput, tarvel::DecodingError> decode(std::string_view data);
};

// Turns one raw hook document into at most one island event, with Chinese task and activity
// texts. Stateless; safe from any thread.
namespace CodexHookMapper {

// The hook event names handled, in order.
inline constexpr std::array<std::string_view, 8> events{
    "SessionStart", "UserPromptSubmit", "PreToolUse", "PostToolUse",
    "PermissionRequest", "Stop", "Interrupt", "SessionEnd",
};

// `events` and "StopFailure": a name outside this list never produces an event.
inline constexpr std::array<std::string_view, 9> canonicalEvents{
    "SessionStart", "UserPromptSubmit", "PreToolUse", "PostToolUse", "PermissionRequest",
    "Stop",         "Interrupt",        "SessionEnd", "StopFailure",
};

// The metadata tag of events from Codex.
inline constexpr std::string_view source = "quoya-codex-hook-v1";

// Documents larger than this are refused without being decoded.
inline constexpr std::size_t maximumDocumentBytes = 1'048'576;

// Session and turn ids longer than this (in UTF-8 bytes) are refused or dropped.
inline constexpr std::size_t maximumIdentifierBytes = 200;

// "quoya-" + the provider's raw value + "-hook-v1".
std::string sourceFor(const tarvel::AgentProvider& provider);

// True exactly for Codex, Claude Code and Gemini CLI.
bool supported(const tarvel::AgentProvider& provider);

// Gemini CLI's own event names in the common spelling ("BeforeTool" is "PreToolUse"); other
// names unchanged.
std::string_view geminiEventName(std::string_view name);

// The event for one hook document, or absent when the document is oversized, the provider not
// served, the session id empty or over-long, or the event not one the island shows. An error
// only when the document cannot be decoded as a `CodexHookInput`. Draws a random event id.
tarvel::Result<std::optional<tarvel::AgentEvent>, tarvel::DecodingError> event(
    std::string_view data, tarvel::Date now, const tarvel::AgentProvider& provider);

// The same mapping for an already decoded document.
std::optional<tarvel::AgentEvent> event(const CodexHookInput& input, tarvel::Date now,
                                        const tarvel::AgentProvider& provider);

// "codex://threads/<threadID>" when the thread id is a UUID in canonical form (either case),
// else absent: the deep link that opens the thread in the Codex application.
std::optional<std::string> sessionURL(std::string_view threadID);

}  // namespace CodexHookMapper
}  // namespace quoya
