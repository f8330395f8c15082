#pragma once

#include <ostream>
#include <span>
#include <string_view>

// The service subcommands of `tarvel`: serve (the display service in the foreground), status
// (one line from the running service) and service install | uninstall (a systemd user unit).
namespace tarvel::ServiceCommands {

// Whether `name` is one of these subcommands.
bool handles(std::string_view name);

// Runs the subcommand named by arguments[0]; the process's exit status.
int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& error);

// The lines `tarvel --help` shows for these subcommands.
std::string_view usage();

}  // namespace tarvel::ServiceCommands
