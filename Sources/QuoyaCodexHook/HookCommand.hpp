#pragma once

#include <span>
#include <string_view>

#include "TarvelCore/Models/AgentProvider.hpp"

// The hook command's work between start and answer: read the document, map it, send the event.
// Single-threaded; nothing it meets is reported, since the agent must get the same answer
// whatever happens.
namespace quoya::HookCommand {

// The answer the agent always gets on standard output.
inline constexpr std::string_view answer = "{}\n";

// The provider named by exactly the two arguments "--provider" NAME (lower-cased); Codex for any
// other argument list. `arguments` excludes the program name.
tarvel::AgentProvider provider(std::span<const std::string_view> arguments);

// Reads the document from `inputFd` and sends its event, if any, to the island socket. Every
// failure is dropped. May throw only what allocation throws.
void run(std::span<const std::string_view> arguments, int inputFd);

// Writes `answer` to `outputFd` once, retrying interrupted and partial writes; a closed or
// broken output is ignored.
void writeAnswer(int outputFd);

}  // namespace quoya::HookCommand
