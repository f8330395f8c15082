#pragma once

#include <ostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The service subcommands of `tarvel`: serve (the display service in the foreground), status
// (one line from the running service), web (the web page's address), stop and restart
// (ServiceControl.hpp), config (Configuration.hpp) and service install | uninstall (a systemd
// user unit). `tarvel --help` describes them (Usage.hpp).
namespace tarvel::ServiceCommands {

// Whether `name` is one of these subcommands.
bool handles(std::string_view name);

// Whether `text` is an address `tarvel serve --http` takes: "[ADDRESS:]PORT" or "[IPv6]:PORT".
bool isHttpAddress(std::string_view text);

// Why `tarvel serve` would refuse these options (after the configuration's), or nothing.
std::optional<std::string> checkServeArguments(const std::vector<std::string>& arguments);

// Runs the subcommand named by arguments[0]; the process's exit status.
int run(std::span<const std::string_view> arguments, std::ostream& out, std::ostream& error);

}  // namespace tarvel::ServiceCommands
