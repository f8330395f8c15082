#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

#include <cstdlib>

#include "TarvelCore/Platform/HomeDirectory.hpp"

namespace tarvel::AgentSocketLocation {

std::filesystem::path homeDirectory() { return HomeDirectory::current(); }

std::filesystem::path tarvelDirectory() {
  // A relative value would mean a different directory in every working directory; it is ignored.
  if (const char* configured = std::getenv("TARVEL_HOME");  // NOLINT(concurrency-mt-unsafe)
      configured != nullptr && configured[0] == '/') {
    // Without a trailing slash, so that a symbolic link there is seen as one and not followed.
    std::filesystem::path directory = std::filesystem::path(configured).lexically_normal();
    if (directory.has_parent_path() && directory.filename().empty()) {
      directory = directory.parent_path();
    }
    return directory;
  }
  return homeDirectory() / ".tarvel";
}

std::filesystem::path defaultURL() { return tarvelDirectory() / "agent.sock"; }

}  // namespace tarvel::AgentSocketLocation
