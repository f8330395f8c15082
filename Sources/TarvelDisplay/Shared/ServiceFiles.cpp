#include "TarvelDisplay/Shared/ServiceFiles.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "TarvelCore/Sockets/AgentReplySocketLocation.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"

namespace tarvel::Display::ServiceFiles {

Paths Paths::inDirectory(const std::filesystem::path& directory) {
  return {.directory = directory,
          .eventSocket = directory / "agent.sock",
          .replySocket = directory / "reply.sock",
          .apiSocket = directory / "api.sock",
          .sessionsFile = directory / "sessions.json",
          .lockFile = directory / "serve.lock",
          .tokenFile = directory / "token",
          .historyFile = directory / "history.db"};
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
  for (;;) {
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
        std::string text = "Another tarvel serve is already running for " +
                           lockFile.parent_path().string();
        if (const auto running = holder(lockFile)) {
          text += " (process " + std::to_string(running->processId) + ", started " +
                  running->startedBy + ")";
        }
        return text +
               ". Use that one, or stop it with: tarvel stop (tarvel restart starts it again "
               "with the settings of ~/.config/tarvel/config.toml).";
      }
      return std::string("Cannot lock ") + lockFile.string() + ": " + std::strerror(errno);
    }
    // A stopping service removes its lock file while holding the lock: a lock taken on the
    // removed file guards nothing, so it is taken again on the file now at the path.
    struct stat held {};
    struct stat current {};
    if (::fstat(fd.get(), &held) == 0 && ::lstat(lockFile.c_str(), &current) == 0 &&
        held.st_ino == current.st_ino && held.st_dev == current.st_dev) {
      return InstanceLock(std::move(fd));
    }
  }
}

void InstanceLock::describe(std::string_view startedBy) {
  const std::string text =
      "pid " + std::to_string(::getpid()) + "\nstarted " + std::string(startedBy) + "\n";
  if (::ftruncate(fd.get(), 0) == 0) {
    static_cast<void>(::pwrite(fd.get(), text.data(), text.size(), 0));
  }
}

void InstanceLock::removeFile(const std::filesystem::path& lockFile) {
  struct stat held {};
  struct stat current {};
  if (::fstat(fd.get(), &held) == 0 && ::lstat(lockFile.c_str(), &current) == 0 &&
      held.st_ino == current.st_ino && held.st_dev == current.st_dev) {
    ::unlink(lockFile.c_str());
  }
}

std::optional<Holder> InstanceLock::holder(const std::filesystem::path& lockFile) {
  if (!isHeld(lockFile)) {
    return std::nullopt;
  }
  const UniqueFd fd(::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    return std::nullopt;
  }
  char buffer[512];
  const ssize_t count = ::pread(fd.get(), buffer, sizeof buffer, 0);
  if (count <= 0) {
    return std::nullopt;
  }
  const std::string_view text(buffer, static_cast<std::size_t>(count));
  Holder holder;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, end - start);
    if (line.starts_with("pid ")) {
      const auto digits = line.substr(4);
      std::from_chars(digits.data(), digits.data() + digits.size(), holder.processId);
    } else if (line.starts_with("started ")) {
      holder.startedBy = std::string(line.substr(8));
    }
    start = end + 1;
  }
  if (holder.processId <= 0) {
    return std::nullopt;
  }
  return holder;
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
