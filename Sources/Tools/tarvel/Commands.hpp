#pragma once

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "Tools/tarvel/CommandLine.hpp"

// tarvel's subcommands in one table, as tmux keeps its commands: each declared beside its code
// (CommandLine.hpp), listed here once. `tarvel --help`, `tarvel help COMMAND`, the completions and
// the manual's synopsis are made from this table.
namespace tarvel::Commands {

// Every command in the order `tarvel --help` lists them; the hidden ones last.
std::span<const CommandLine::Command* const> all();

// The command named `name`; nullptr when there is none.
const CommandLine::Command* named(std::string_view name);

// Every command's usage, one after the other: what a wrong command line is shown.
std::string synopsis();

// What `tarvel --help` prints: the synopsis, then a line on each command.
std::string overview();

// Runs `tarvel` with `arguments` (those after the program's name): a help option anywhere gets
// the help of the command before it (or the overview); a command line the command's declaration
// refuses gets exit status 2. The process's exit status.
int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& err);

}  // namespace tarvel::Commands
