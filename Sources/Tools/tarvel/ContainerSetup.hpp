#pragma once

#include <filesystem>
#include <ostream>
#include <string_view>

#include "Tools/tarvel/CommandLine.hpp"

// `tarvel container`: what a container (docker, podman, a devcontainer) needs to reach this
// machine's service: bind mounts of the event socket, the reply socket and tarvel-hook into a
// Tarvel folder of the container's own, and TARVEL_HOME pointing there. The hooks in the home
// folder the container uses come from `tarvel install --agent NAME --home DIR`.
namespace tarvel::ContainerSetup {

// Where the container sees Tarvel's folder and, below it, bin/tarvel-hook.
inline constexpr std::string_view containerHome = "/opt/tarvel";
inline constexpr std::string_view containerDirectory = "/opt/tarvel/.tarvel";

// Prints the mounts for `docker run` / `podman run` and for devcontainer.json, for the service
// folder `directory` and the relay `relay`. Always 0.
int print(const std::filesystem::path& directory, const std::filesystem::path& relay,
          std::ostream& out);

// `tarvel container`: print() for this home's service and relay.
extern const CommandLine::Command command;

}  // namespace tarvel::ContainerSetup
