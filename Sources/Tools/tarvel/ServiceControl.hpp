#pragma once

#include <string>
#include <string_view>

#include "Tools/tarvel/CommandLine.hpp"

// Stopping and restarting the running `tarvel serve`, however it was started: through the
// systemd user unit when the unit runs it, else by signalling the process that holds the
// service's lock (whose id and origin the lock file records).
namespace tarvel::ServiceControl {

// How the unit's service describes its start in the lock file.
inline constexpr std::string_view byUnit = "by the systemd user unit tarvel.service";

// How this process was started, for the lock file: the systemd unit, a program that says so in
// TARVEL_STARTED_BY (tarvel-island, tarvel restart), or a person.
std::string startedBy();

// `tarvel stop`: ends the running service and waits until it has let go of its files.
extern const CommandLine::Command stopCommand;

// `tarvel restart [SERVE OPTIONS]`: checks the configuration, stops the running service and
// starts it again (in the background, or through the unit) with the configuration's settings
// and the given options; waits until it answers.
extern const CommandLine::Command restartCommand;

}  // namespace tarvel::ServiceControl
