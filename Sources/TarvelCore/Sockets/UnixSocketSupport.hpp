#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "TarvelCore/Platform/AgentSocketError.hpp"
#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Unix socket addressing, the accepting probe and cross-process safe listener creation, shared
// by the event server and the reply server. Stateless; every function may be called from any
// thread. Errors and log entries go to the "socket" category.
namespace tarvel::UnixSocketSupport {

// Longest socket path accepted, in bytes (the portable sun_path size less its NUL).
inline constexpr std::size_t maximumPathBytes = 103;

// The address for `path`, or pathTooLong when the path has more than 103 bytes.
Result<sockaddr_un, AgentSocketError> makeAddress(std::string_view path);

// The length to pass to bind and connect: the path's byte count + 3.
socklen_t addressLength(std::string_view path);

// Whether some process accepts connections on the socket file at `path`. False for a missing
// file, a regular file, or a socket left behind by a dead process; never fails.
bool isPathAccepting(const std::filesystem::path& path);

// The user id of the process at the other end of the connected Unix socket `descriptor` (for a
// client, the process that created the listener), from SO_PEERCRED; absent when the system
// cannot tell.
std::optional<std::uint32_t> peerUser(int descriptor);

// Whether the process at the other end of `descriptor` runs as this process's effective user.
// Peers of another user are never trusted with prompts or answers, whatever the file modes say.
bool isPeerThisUser(int descriptor);

// Creates `directory` and any missing parents with permissions 0700 for the new ones.
// Fails with a fileSystem error ("mkdir") when a component cannot be created or is not a
// directory.
[[nodiscard]] std::optional<AgentSocketError> makeDirectories(
    const std::filesystem::path& directory);

// A listening socket and the inode of the socket file it created.
struct Listener {
  UniqueFd descriptor;
  std::uint64_t inode = 0;
};

// Creates the socket's directory (0700 for new directories; forced to 0700 when
// `tightenDirectory`), then, holding the exclusive lock on "<socket path>.lock": refuses with
// alreadyInUse when another process of this user accepts on the path (foreignOwner when the socket
// file or the process accepting on it belongs to another user, and when `tightenDirectory` and the
// directory belongs to another user), removes a stale socket file (never any
// other kind of file), binds, sets the socket file to 0600 and listens with the system's
// maximum backlog (SOMAXCONN).
// The descriptor is blocking and close-on-exec. On failure no socket file of this call remains.
Result<Listener, AgentSocketError> bindListener(const std::filesystem::path& socketURL,
                                                bool tightenDirectory);

// An exclusive lock on a whole lock file, held while the object lives; move-only. The lock
// belongs to the open file description, so it excludes other threads of this process as well as
// other processes. The lock file itself is never removed.
class ProcessFileLock {
 public:
  // Opens (creating with 0600) and locks `path`, waiting while someone else holds the lock.
  // Logs and fails with systemCall("open", errno) when the file cannot be opened or locked, and
  // with foreignOwner when it belongs to another user (who could hold the lock for ever).
  static Result<ProcessFileLock, AgentSocketError> openAndLock(const std::filesystem::path& path);

  ProcessFileLock(ProcessFileLock&&) noexcept = default;
  ProcessFileLock& operator=(ProcessFileLock&&) noexcept = default;
  ProcessFileLock(const ProcessFileLock&) = delete;
  ProcessFileLock& operator=(const ProcessFileLock&) = delete;
  ~ProcessFileLock();

 private:
  explicit ProcessFileLock(UniqueFd fd, int lockCommand)
      : fd(std::move(fd)), lockCommand(lockCommand) {}
  UniqueFd fd;
  int lockCommand = 0;  // the non-blocking set-lock command matching the one used to lock
};

}  // namespace tarvel::UnixSocketSupport
