#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Hooks/AgentHookPayload.hpp"
#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Platform/JSONValue.hpp"
#include "TarvelCore/Platform/UUID.hpp"

// Turns a decoded hook payload into the prompt the display shows while the hook waits: a tool
// permission, a multiple-choice question (AskUserQuestion), a plan approval (ExitPlanMode) or an
// elicitation. Pure; never throws beyond allocation failure.
namespace tarvel::AgentReplyPromptBuilder {

// The prompt for `payload` under `replyId`; always present. A question the display cannot show
// faithfully gets the "Answer in Claude" prompt with no grants, so that nobody waits for it.
std::optional<AgentPendingReply> make(const AgentHookPayload& payload, const UUID& replyId);

// Most bytes a prompt's full detail takes, its cut mark included.
inline constexpr std::size_t fullDetailLimit = 16 * 1024;

// All of what a permission or plan prompt approves, for the display to show whole: for a
// command the whole command; for a file edit the path and the change (old and new text, or the
// content written); for a web fetch the URL and its prompt; for a plan the plan; for any other
// tool its input as compact JSON. Absent without a tool input. At most `fullDetailLimit` bytes.
std::optional<std::string> fullDetail(const AgentHookPayload& payload);

// `text` whole when it fits in `maximumBytes`; else cut at a character boundary and ended with
// "… (N more characters)" (N counts the characters left out), the whole within `maximumBytes`.
std::string bounded(std::string_view text, std::size_t maximumBytes);

// The questions of an AskUserQuestion "questions" array of 1 to 4 elements; elements without a
// non-blank "question" or without options are skipped. Empty for anything else.
std::vector<AgentPromptQuestion> questionModels(const JSONValue* value);

// The choices of an "options" array: strings and objects with a "label", "title" or "text".
// Element i becomes "option-i", counting skipped elements too. Empty when not an array.
std::vector<AgentPromptOption> options(const JSONValue* value);

}  // namespace tarvel::AgentReplyPromptBuilder
