#pragma once

#include <optional>
#include <vector>

#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Models/UUID.hpp"
#include "TarvelCore/Protocol/AgentHookPayload.hpp"
#include "TarvelCore/Protocol/JSONValue.hpp"

// Turns a decoded hook payload into the prompt the display shows while the hook waits: a tool
// permission, a multiple-choice question (AskUserQuestion), a plan approval (ExitPlanMode) or an
// elicitation. Pure; never throws beyond allocation failure.
namespace tarvel::AgentReplyPromptBuilder {

// The prompt for `payload` under `replyId`; always present. A question the display cannot show
// faithfully gets the "Answer in Claude" prompt with no grants, so that nobody waits for it.
std::optional<AgentPendingReply> make(const AgentHookPayload& payload, const UUID& replyId);

// The questions of an AskUserQuestion "questions" array of 1 to 4 elements; elements without a
// non-blank "question" or without options are skipped. Empty for anything else.
std::vector<AgentPromptQuestion> questionModels(const JSONValue* value);

// The choices of an "options" array: strings and objects with a "label", "title" or "text".
// Element i becomes "option-i", counting skipped elements too. Empty when not an array.
std::vector<AgentPromptOption> options(const JSONValue* value);

}  // namespace tarvel::AgentReplyPromptBuilder
