#pragma once

#include <optional>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Platform/Date.hpp"

// Turns one decoded hook document of any provider into at most one activity event: which
// session it belongs to (provider-namespaced, sub-agents as child sessions), what kind of event
// it is, and the line the display shows. Pure apart from the project-name lookup of the working
// directory; never throws.
namespace tarvel::AgentHookEventMapper {

// The event for `payload`, or absent for anything not worth showing (unknown event names,
// resumed sessions, unattributable Grok turn ends, unknown notifications). Permission requests
// give an event only when `permissionRequestRequiresUserInput` is set: the caller can show the
// prompt and wants the session to wait. Events without a timestamp of their own take `now`.
std::optional<AgentEvent> map(const AgentHookPayload& payload, const AgentProvider& provider,
                              bool permissionRequestRequiresUserInput, Date now);

// Whether a stop or session-end reason means failure ("error", "failed", "failure", "aborted",
// "abort" in any letter case, "-" read as "_").
bool isFailureReason(const std::optional<std::string>& reason);

// The text of a completed turn: the assistant's last message shortened to 90 characters, or
// "Task completed" when there is none.
std::string completionActivity(const std::optional<std::string>& lastAssistantMessage);

}  // namespace tarvel::AgentHookEventMapper
