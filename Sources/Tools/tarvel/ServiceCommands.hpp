#pragma once

#include <ostream>
#include <span>
#include <string_view>

// The service subcommands of `tarvel`: serve (the display service in the foreground), status
// (one line from the running service), web (the web page's address) and service install |
// uninstall (a systemd user unit). `tarvel --help` describes them (Usage.hpp).
namespace tarvel::ServiceCommands {

// Whether `name` is one of these subcommands.
bool handles(std::string_view name);

// Runs the subcommand named by arguments[0]; the process's exit status.
int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& error);

}  // namespace tarvel::ServiceCommands
