#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"

namespace tarvel::Display {

// How one prompt ended: one row of the answer history. Plain value; JSON keys as named here.
struct AnswerRecord {
  Date endedAt{};
  std::string agent;      // the provider's raw value: "claude-code", "codex"
  std::string sessionId;  // namespaced
  std::optional<std::string> project;
  std::optional<std::string> workingDirectory;
  std::optional<std::string> host;  // absent for this machine
  std::string kind;                 // "permission", "question", "plan", "elicitation"
  std::string prompt;               // what was asked, at most maximumPromptCharacters
  std::optional<std::string> detail;  // the start of what was approved (maximumDetailCharacters)
  // "allowed", "alwaysAllowed" (with the agent's own standing rule), "denied", "answered" (an
  // option or question), "dismissed" (the agent's dialog was closed without an answer),
  // "answeredInAgent" (the agent went on, how is not known), "released", "agentEnded" (its agent
  // process exited while it waited).
  std::string outcome;
  // Where it came from: "terminal", "web", "notification", "api", "agent" (the agent's own
  // dialog, or its hook went away: "Allowed in the agent"), "noAnswerer", "timeout" (the hook's
  // time ran out), "serviceStopped".
  std::string by;
  std::optional<std::int64_t> waitedMilliseconds;  // from the prompt's arrival to its end
  bool operator==(const AnswerRecord&) const = default;

  static constexpr std::size_t maximumPromptCharacters = 500;
  static constexpr std::size_t maximumDetailCharacters = 1000;
};

Json encodeAnswer(const AnswerRecord& record);

// An outcome in a word: "Allowed", "Denied", "Answered", "Dismissed", "Answered in the agent",
// "Released", "the agent ended" (an unknown one as it is).
std::string outcomeLabel(std::string_view outcome);

// How a prompt ended, in the words every surface shows (the terminal display, the page,
// `tarvel log`): what became of it and where that came from, such as "Allowed on this
// terminal", "Denied on the web page", "Allowed from the phone", "Allowed through the API",
// "Allowed in the agent", "Dismissed in the agent", "Released: nobody could answer", "Released: the
// hook's time ran out", "the agent ended". The one table of these words: a new place to answer from
// is one more entry in it.
std::string endingWords(std::string_view outcome, std::string_view by);

// Every outcome and every place (`by`) the words know, for a surface that looks them up itself.
std::span<const std::string_view> knownOutcomes();
std::span<const std::string_view> knownPlaces();

}  // namespace tarvel::Display
