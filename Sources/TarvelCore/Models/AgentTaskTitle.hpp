#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Models/AgentProvider.hpp"

namespace tarvel {

struct AgentSession;

// The rules for which text may serve as a session's title. Pure functions, linear in the text's
// length (no regular expressions), safe from any thread.
namespace AgentTaskTitle {

// The placeholder title of a session that has none yet.
inline constexpr std::string_view untitled = "Untitled task";

// The text as a title (trimmed, image placeholders such as "[Image #1]" removed), or absent when
// it is blank, the placeholder, a lone markup tag, housekeeping, or begins with "you are ".
std::optional<std::string> displayable(std::string_view text);

// The title a session with title `current` ends up with when `incoming` arrives: a real title is
// never replaced, only a placeholder ("Untitled task", a tag, the project name) is.
std::string assigned(const std::string& current, const std::optional<std::string>& incoming,
                     const std::optional<std::string>& projectName);

// Texts of an agent's own bookkeeping turns (memory writing, in-app browser context).
bool isHousekeeping(std::string_view text);

// A title drawn from the first line of a user prompt that may serve as one, cut to `limit`
// characters (the last being "…"); absent when no line qualifies or `limit` is below 1.
std::optional<std::string> fromPrompt(std::string_view prompt, int limit);

// Whether the text begins as a prompt with which the agent opens a helper session of its own
// (its row's helper prompts: Codex's for writing a commit message).
bool isInternalHelper(std::string_view text, const AgentProvider& provider);

}  // namespace AgentTaskTitle
}  // namespace tarvel
