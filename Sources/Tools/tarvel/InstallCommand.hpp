#pragma once

#include "Tools/tarvel/CommandLine.hpp"

// `tarvel install` and `tarvel uninstall`: their command lines, read into Installer::Options and
// carried out by Installer::run for this user's home (or, with --home, a container's).
namespace tarvel::InstallCommand {

extern const CommandLine::Command install;
extern const CommandLine::Command uninstall;

}  // namespace tarvel::InstallCommand
