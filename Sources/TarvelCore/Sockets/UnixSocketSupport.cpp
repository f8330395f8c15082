#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TarvelCore/Platform/Log.hpp"

namespace tarvel::UnixSocketSupport {
namespace {

const Log::Logger logger{"socket"};

void setTimeouts(int descriptor, long microseconds) {
  const timeval limit{.tv_sec = microseconds / 1'000'000, .tv_usec = microseconds % 1'000'000};
  ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

std::optional<struct stat> linkStatus(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return status;
}

// Removes the file at `path` only when it is a socket: a regular file, directory or symbolic
// link that happens to sit at a socket path is somebody's data and must survive.
void removeSocketFile(const std::string& path) {
  if (const auto status = linkStatus(path); status && S_ISSOCK(status->st_mode)) {
    ::unlink(path.c_str());
  }
}

// The other user behind the socket file at `path`: its owner, or the process accepting on it.
std::optional<std::uint32_t> foreignUser(const std::string& path) {
  const auto self = static_cast<std::uint32_t>(::geteuid());
  if (const auto status = linkStatus(path); status && status->st_uid != self) {
    return static_cast<std::uint32_t>(status->st_uid);
  }
  const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const auto address = makeAddress(path);
  if (!probe || !address) {
    return std::nullopt;
  }
  int result = 0;
  do {
    result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&*address),
                       addressLength(path));
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    return std::nullopt;
  }
  if (const auto user = peerUser(probe.get()); user && *user != self) {
    return user;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint32_t> peerUser(int descriptor) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(credentials.uid);
}

bool isPeerThisUser(int descriptor) {
  return peerUser(descriptor) == static_cast<std::uint32_t>(::geteuid());
}

Result<sockaddr_un, AgentSocketError> makeAddress(std::string_view path) {
  if (path.size() > maximumPathBytes) {
    return AgentSocketError::pathTooLong();
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

socklen_t addressLength(std::string_view path) { return static_cast<socklen_t>(path.size() + 3); }

bool isPathAccepting(const std::filesystem::path& path) {
  const std::string text = path.string();
  if (!linkStatus(text)) {
    return false;
  }
  const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) {
    return false;
  }
  setTimeouts(probe.get(), 100'000);
  const auto address = makeAddress(text);
  if (!address) {
    return false;
  }
  int result = 0;
  do {
    result =
        ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&*address), addressLength(text));
  } while (result != 0 && errno == EINTR);
  // A non-blocking connect to a live listener whose backlog is full fails with EAGAIN: somebody
  // is still accepting there, and its socket file must not be taken over.
  return result == 0 || errno == EAGAIN || errno == EWOULDBLOCK;
}

std::optional<AgentSocketError> makeDirectories(const std::filesystem::path& directory) {
  std::filesystem::path partial;
  for (const auto& component : directory.lexically_normal()) {
    partial /= component;
    if (component.empty() || component == partial.root_path()) {
      continue;
    }
    const std::string text = partial.string();
    if (::mkdir(text.c_str(), 0700) == 0) {
      continue;
    }
    const int error = errno;
    struct stat status {};
    if (error == EEXIST && ::stat(text.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      continue;
    }
    return AgentSocketError::fileSystem("mkdir", text, error == EEXIST ? ENOTDIR : error);
  }
  return std::nullopt;
}

Result<ProcessFileLock, AgentSocketError> ProcessFileLock::openAndLock(
    const std::filesystem::path& path) {
  const std::string text = path.string();
  UniqueFd fd;
  do {
    fd.reset(::open(text.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  } while (!fd && errno == EINTR);
  if (!fd) {
    const int error = errno;
    logger.error("open(%s) failed: %s", {Log::value(text), Log::value(errorText(error))});
    return AgentSocketError::systemCall("open", error);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) == 0 && status.st_uid != ::geteuid()) {
    logger.error("%s belongs to uid %ld",
                 {Log::value(text), Log::value(static_cast<long>(status.st_uid))});
    return AgentSocketError::foreignOwner(text, static_cast<std::uint32_t>(status.st_uid));
  }
  // Open file description locks exclude other threads of this process too; fall back to the
  // per-process record lock on kernels without them.
  int waitCommand = F_OFD_SETLKW;
  int setCommand = F_OFD_SETLK;
  for (;;) {
    struct flock description {};
    description.l_type = F_WRLCK;
    description.l_whence = SEEK_SET;
    if (::fcntl(fd.get(), waitCommand, &description) == 0) {
      break;
    }
    if (errno == EINTR) {
      continue;
    }
    if (errno == EINVAL && waitCommand == F_OFD_SETLKW) {
      waitCommand = F_SETLKW;
      setCommand = F_SETLK;
      continue;
    }
    const int error = errno;
    logger.error("fcntl(F_SETLKW) failed: %s", {Log::value(errorText(error))});
    return AgentSocketError::systemCall("open", error);
  }
  return ProcessFileLock(std::move(fd), setCommand);
}

ProcessFileLock::~ProcessFileLock() {
  if (fd) {
    struct flock description {};
    description.l_type = F_UNLCK;
    description.l_whence = SEEK_SET;
    ::fcntl(fd.get(), lockCommand, &description);
  }
}

Result<Listener, AgentSocketError> bindListener(const std::filesystem::path& socketURL,
                                                bool tightenDirectory) {
  const std::string path = socketURL.string();
  const std::filesystem::path directory = socketURL.parent_path();
  if (!directory.empty()) {
    if (auto error = makeDirectories(directory)) {
      return *error;
    }
    // A directory of another user's is theirs to fill: nothing found there can be trusted.
    struct stat status {};
    if (tightenDirectory && ::lstat(directory.c_str(), &status) == 0 &&
        status.st_uid != ::geteuid()) {
      return AgentSocketError::foreignOwner(directory.string(),
                                            static_cast<std::uint32_t>(status.st_uid));
    }
    if (tightenDirectory && ::chmod(directory.c_str(), 0700) != 0) {
      return AgentSocketError::fileSystem("chmod", directory.string(), errno);
    }
  }

  auto lock = ProcessFileLock::openAndLock(path + ".lock");
  if (!lock) {
    return lock.error();
  }
  if (isPathAccepting(path)) {
    // Another user's listener is no Tarvel instance of ours: saying "already listening" would
    // leave the user believing their own service runs, while a stranger gets the prompts.
    if (const auto stranger = foreignUser(path)) {
      logger.error("%s is served by uid %ld",
                   {Log::value(path), Log::value(static_cast<long>(*stranger))});
      return AgentSocketError::foreignOwner(path, *stranger);
    }
    return AgentSocketError::alreadyInUse();
  }
  removeSocketFile(path);

  UniqueFd descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!descriptor) {
    return AgentSocketError::systemCall("socket", errno);
  }
  const auto address = makeAddress(path);
  if (!address) {
    return address.error();
  }
  if (::bind(descriptor.get(), reinterpret_cast<const sockaddr*>(&*address), addressLength(path)) !=
      0) {
    // The file at the path (if any) is not ours: leave it alone.
    return AgentSocketError::systemCall("bind", errno);
  }
  // From here on the socket file is ours; remove it again if setting up fails.
  const auto failAfterBind = [&](std::string_view call, int error) {
    descriptor.reset();
    if (!isPathAccepting(path)) {
      removeSocketFile(path);
    }
    return AgentSocketError::systemCall(call, error);
  };
  if (::chmod(path.c_str(), 0600) != 0) {
    return failAfterBind("chmod", errno);
  }
  // Agents and their sub-agents start hooks in bursts of hundreds; a hook whose connect finds
  // the backlog full gives up after its short send limit and its event is lost, so the queue is
  // as long as the system allows (the kernel caps it at net.core.somaxconn).
  if (::listen(descriptor.get(), SOMAXCONN) != 0) {
    return failAfterBind("listen", errno);
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return failAfterBind("stat", errno);
  }
  return Listener{.descriptor = std::move(descriptor),
                  .inode = static_cast<std::uint64_t>(status.st_ino)};
}

}  // namespace tarvel::UnixSocketSupport
