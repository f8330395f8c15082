#include "TarvelDisplay/ServiceFiles.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "TarvelCore/Protocol/AgentReplySocketLocation.hpp"
#include "TarvelCore/Protocol/AgentSocketLocation.hpp"

namespace tarvel::Display::ServiceFiles {

Paths Paths::inDirectory(const std::filesystem::path& directory) {
  return {.directory = directory,
          .eventSocket = directory / "agent.sock",
          .replySocket = directory / "reply.sock",
          .apiSocket = directory / "api.sock",
          .sessionsFile = directory / "sessions.json",
          .lockFile = directory / "serve.lock",
          .tokenFile = directory / "token"};
}

Paths Paths::standard() {
  Paths paths = inDirectory(AgentSocketLocation::tarvelDirectory());
  paths.eventSocket = AgentSocketLocation::defaultURL();
  paths.replySocket = AgentReplySocketLocation::defaultURL();
  return paths;
}

std::optional<std::string> prepareDirectory(const std::filesystem::path& directory) {
  struct stat status {};
  if (::lstat(directory.c_str(), &status) == 0) {
    if (S_ISLNK(status.st_mode)) {
      return directory.string() +
             " is a symbolic link; Tarvel keeps its sockets and sessions only in a real directory. "
             "Remove the link (or replace it with a directory) and start again.";
    }
    if (!S_ISDIR(status.st_mode)) {
      return directory.string() + " exists but is not a directory.";
    }
  } else if (errno != ENOENT) {
    return "Cannot inspect " + directory.string() + ": " + std::strerror(errno);
  } else {
    std::error_code error;
    std::filesystem::create_directories(directory.parent_path(), error);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
      return "Cannot create " + directory.string() + ": " + std::strerror(errno);
    }
  }
  // Opened without following a link that may have replaced the directory meanwhile.
  const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    return "Cannot open " + directory.string() + ": " + std::strerror(errno);
  }
  if (::fchmod(fd.get(), 0700) != 0) {
    return "Cannot set the permissions of " + directory.string() + ": " + std::strerror(errno);
  }
  return std::nullopt;
}

Result<InstanceLock, std::string> InstanceLock::acquire(const std::filesystem::path& lockFile) {
  UniqueFd fd;
  do {
    fd.reset(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  } while (!fd && errno == EINTR);
  if (!fd) {
    return std::string("Cannot open ") + lockFile.string() + ": " + std::strerror(errno);
  }
  while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno == EWOULDBLOCK) {
      return std::string("Another tarvel serve is already running for ") +
             lockFile.parent_path().string() + "; use that one (tarvel status shows it).";
    }
    return std::string("Cannot lock ") + lockFile.string() + ": " + std::strerror(errno);
  }
  return InstanceLock(std::move(fd));
}

bool InstanceLock::isHeld(const std::filesystem::path& lockFile) {
  const UniqueFd fd(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    return false;
  }
  if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0) {
    ::flock(fd.get(), LOCK_UN);
    return false;
  }
  return errno == EWOULDBLOCK;
}

}  // namespace tarvel::Display::ServiceFiles
