#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Tools/tarvel/CommandLine.hpp"

// The service subcommands of `tarvel`: serve (the display service in the foreground), status
// (one line from the running service), web (the web page's address), stop and restart
// (ServiceControl.hpp), config (Configuration.hpp) and service install | uninstall (a systemd
// user unit).
namespace tarvel::ServiceCommands {

extern const CommandLine::Command serveCommand;
extern const CommandLine::Command statusCommand;
extern const CommandLine::Command webCommand;
extern const CommandLine::Command serviceCommand;

// Whether `text` is an address `tarvel serve --http` takes: "[ADDRESS:]PORT" or "[IPv6]:PORT".
bool isHttpAddress(std::string_view text);

// Why a service could not listen at `address` (as isHttpAddress takes it), tried by binding it
// now: "cannot listen at 1.2.3.4:8787: Cannot assign requested address". A port in use counts
// as usable when `inUseIsFine` says so (the running service's own, say).
std::optional<std::string> listenProblem(std::string_view address,
                                         const std::function<bool(std::uint16_t)>& inUseIsFine);
// The arguments' --http address, if they give one.
std::optional<std::string> httpArgument(const std::vector<std::string>& arguments);

// Why `tarvel serve` would refuse these options (after the configuration's), or nothing.
std::optional<std::string> checkServeArguments(const std::vector<std::string>& arguments);

}  // namespace tarvel::ServiceCommands
