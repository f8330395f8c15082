#pragma once

#include <span>
#include <string>

#include "Tools/tarvel/CommandLine.hpp"

// tarvel's completions and manual synopsis, made from the command table (Commands.hpp) by
// `tarvel completions bash|zsh|man`, which the build runs to make the installed files. Hidden
// commands are left out. The other Tarvel programs' completions are kept beside them in
// completions/ and use what these define: `_tarvel_words` and `$_tarvel_agents` in bash,
// `_tarvel_agents` and `_tarvel_command` in zsh.
namespace tarvel::Completions {

// The bash completion of tarvel: the commands' actions, options, values and operands as
// associative arrays, and `_tarvel`, which completes from them (`complete -F _tarvel tarvel`).
std::string bash(std::span<const CommandLine::Command* const> commands);

// The zsh completion of tarvel: from "#compdef" to `_tarvel_command`, an `_arguments` call for
// each command (and each action of a command).
std::string zsh(std::span<const CommandLine::Command* const> commands);

// The manual page's SYNOPSIS: one `.SY tarvel` block for each command, reading as its usage.
std::string manSynopsis(std::span<const CommandLine::Command* const> commands);

}  // namespace tarvel::Completions
