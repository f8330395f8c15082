#include "Tools/tarvel/ContainerSetup.hpp"

#include <string>
#include <utility>
#include <vector>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelDisplay/Remote/RemoteHosts.hpp"
#include "TarvelDisplay/Shared/ServiceFiles.hpp"
#include "Tools/tarvel/AgentConfigurations.hpp"
#include "Tools/tarvel/Installer.hpp"

namespace tarvel::ContainerSetup {

int print(const std::filesystem::path& directory, const std::filesystem::path& relay,
          std::ostream& out) {
  const std::string inside(containerDirectory);
  const std::vector<std::pair<std::string, std::string>> mounts = {
      {(directory / "agent.sock").string(), inside + "/agent.sock"},
      {(directory / "reply.sock").string(), inside + "/reply.sock"},
      {relay.string(), inside + "/bin/tarvel-hook"},
  };
  out << "A container reaches this machine's tarvel serve through three bind mounts and\n"
         "TARVEL_HOME. First put the hooks into the home folder the container uses:\n"
         "  tarvel install --agent claude-code --home DIR\n\n"
         "docker run / podman run:\n ";
  for (const auto& [source, target] : mounts) {
    out << " -v " << Display::RemoteHosts::shellQuoted(source + ":" + target)
        << (target.ends_with("tarvel-hook") ? ":ro" : "");
  }
  out << " -e TARVEL_HOME=" << inside << "\n\ndevcontainer.json:\n  \"mounts\": [\n";
  for (std::size_t index = 0; index < mounts.size(); ++index) {
    const auto& [source, target] = mounts[index];
    out << "    "
        << Coding::encode(Json("source=" + source + ",target=" + target + ",type=bind" +
                               (index == 2 ? ",readonly" : "")))
        << (index + 1 < mounts.size() ? ",\n" : "\n");
  }
  out << "  ],\n  \"containerEnv\": {\"TARVEL_HOME\": \"" << inside << "\"}\n\n"
      << "The socket files are bound as they are: start the container after tarvel serve, and\n"
         "again after the service restarts. Its sessions show under the container's host name.\n";
  return 0;
}

namespace {

// The relay installed in this home, which is the one to bind; else the one beside this program.
int run(const CommandLine::Invocation& invocation) {
  const auto context = Installer::currentContext(invocation.err);
  if (!context) {
    return 1;
  }
  const auto installed = AgentConfigurations::relayPath(context->home);
  return print(Display::ServiceFiles::Paths::standard().directory,
               std::filesystem::exists(installed) ? installed : context->hookSource,
               invocation.out);
}

}  // namespace

constinit const CommandLine::Command command{
    .name = "container",
    .summary = "print what a container needs to reach the service",
    .help =
        "Prints the bind mounts and TARVEL_HOME that a container (docker, podman, a "
        "devcontainer) needs to reach this machine's service. tarvel install --agent AGENT "
        "--home DIR puts the hooks into the home folder the container uses.",
    .run = run,
};

}  // namespace tarvel::ContainerSetup
