#pragma once

#include <optional>
#include <string>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/Coding.hpp"

// Turns the user's answer into the hook output the waiting agent reads on standard output. Only
// Codex (permission requests) and Claude Code (permission requests, AskUserQuestion, ExitPlanMode,
// elicitations) get a structured answer; everything else gets the empty object. Anything short of
// an explicit, valid approval is written as a denial. Pure; never throws beyond allocation.
namespace tarvel::ProviderDecisionMapper {

// The answer as a JSON object ({} when the provider cannot take a decision for this event).
Json jsonObject(const AgentProvider& provider, const AgentHookPayload& payload,
                const AgentReply& reply);

// jsonObject serialised: keys sorted, compact, "/" written as "\/", whole numbers without a
// fraction, no trailing line feed. "{}" and a line feed if serialisation fails.
std::string data(const AgentProvider& provider, const AgentHookPayload& payload,
                 const AgentReply& reply);

// The hook's answer when it carries no decision, in the shape the agent's driver gives: "{}" for
// most agents, Antigravity's own form for its events. No line feed is added.
std::string passiveData(const AgentProvider& provider, const std::optional<std::string>& eventName);

}  // namespace tarvel::ProviderDecisionMapper
