#include "TarvelCore/Protocol/AgentSocketLocation.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace tarvel::AgentSocketLocation {

std::filesystem::path homeDirectory() {
  // Read once per call: tests and tools change HOME at run time.
  if (const char* home = std::getenv("HOME");
      home != nullptr && *home != '\0') {  // NOLINT(concurrency-mt-unsafe)
    return home;
  }
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  return "/";
}

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
