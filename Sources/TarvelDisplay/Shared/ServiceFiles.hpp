#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"

// Where the display service keeps its sockets, lock and sessions, and the guards around them:
// the directory is refused when it is a symbolic link or not a directory, and one service runs
// per directory.
namespace tarvel::Display::ServiceFiles {

struct Paths {
  std::filesystem::path directory;     // ~/.tarvel
  std::filesystem::path eventSocket;   // agent.sock
  std::filesystem::path replySocket;   // reply.sock
  std::filesystem::path apiSocket;     // api.sock
  std::filesystem::path sessionsFile;  // sessions.json
  std::filesystem::path lockFile;      // serve.lock
  std::filesystem::path tokenFile;     // token: the secret of the web page and the API over TCP
  std::filesystem::path historyFile;   // history.db: how each prompt ended (AnswerHistory.hpp)

  // Every file inside `directory`, under its usual name.
  static Paths inDirectory(const std::filesystem::path& directory);
  // ~/.tarvel, with the event and reply sockets where hooks look for them.
  static Paths standard();
  bool operator==(const Paths&) const = default;
};

// Creates the directory (0700) when it is missing and tightens it to 0700; refuses (with the
// text for the user) a directory that is a symbolic link or not a directory, and never changes
// anything then.
[[nodiscard]] std::optional<std::string> prepareDirectory(const std::filesystem::path& directory);

// Who runs the service: read back from the lock file by `tarvel stop` and by a refused start.
struct Holder {
  long processId = 0;
  std::string startedBy;  // "by hand", "by tarvel-island", "by the systemd user unit tarvel.service"
  bool operator==(const Holder&) const = default;
};

// The exclusive claim of one service on its directory, held while the object lives (and by the
// process's open file, so a killed service frees it at once). Move-only.
class InstanceLock {
 public:
  // Takes the lock without waiting; the text for the user when another service holds it or the
  // lock file cannot be opened (a symbolic link is never followed).
  static Result<InstanceLock, std::string> acquire(const std::filesystem::path& lockFile);
  // Whether some process holds the lock now (false when the file is missing).
  static bool isHeld(const std::filesystem::path& lockFile);
  // The holder's own account of itself (its process id and how it was started), written into
  // the lock file by `describe`; absent when nobody holds the lock or nothing was written.
  static std::optional<Holder> holder(const std::filesystem::path& lockFile);

  // Writes this process's id and `startedBy` into the lock file, replacing what was there.
  void describe(std::string_view startedBy);
  // Removes the lock file while still holding it; the lock itself ends with the object.
  void removeFile(const std::filesystem::path& lockFile);

 private:
  explicit InstanceLock(UniqueFd fd) : fd(std::move(fd)) {}
  UniqueFd fd;
};

}  // namespace tarvel::Display::ServiceFiles
