#include "QuoyaCore/IslandPaths.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "TarvelCore/Platform/HomeDirectory.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace quoya::IslandPaths {

std::filesystem::path directory() { return tarvel::HomeDirectory::current() / ".quoya-island"; }

std::filesystem::path socket() { return directory() / "events.sock"; }

std::optional<tarvel::AgentSocketError> prepare() {
  using tarvel::AgentSocketError;
  const std::filesystem::path path = directory();
  const std::string text = path.string();
  struct stat status {};
  if (::lstat(text.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    return AgentSocketError::fileSystem("mkdir", text, EACCES);
  }
  if (auto error = tarvel::UnixSocketSupport::makeDirectories(path)) {
    return error;
  }
  // Tighten through a descriptor opened without following links, so that a link put in place
  // after the check above is refused too rather than having its target changed.
  const tarvel::UniqueFd handle(
      ::open(text.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!handle) {
    return AgentSocketError::fileSystem("open", text, errno == ELOOP ? EACCES : errno);
  }
  if (::fchmod(handle.get(), 0700) != 0) {
    return AgentSocketError::fileSystem("chmod", text, errno);
  }
  return std::nullopt;
}

}  // namespace quoya::IslandPaths
