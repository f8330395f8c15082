#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Models/AgentSession.hpp"

// The display's saved sessions: "~/.tarvel/sessions.json", written atomically (a temporary file
// beside it, flushed, then renamed over it), read back at start. A file that cannot be read or
// decoded is never overwritten: it is renamed aside with a ".corrupt-<time>" suffix and the
// display starts empty with a message saying so.
// Stateless functions; callable from any thread, but one writer per file at a time.
namespace tarvel::Island::SessionPersistence {

// Files larger than this are not read (and are set aside as unreadable).
inline constexpr std::size_t maximumFileBytes = 64 * 1024 * 1024;

// "~/.tarvel/sessions.json".
std::filesystem::path defaultURL();

struct LoadResult {
  std::vector<AgentSession> sessions;
  // For the user: why the saved sessions were set aside, and where they are now.
  std::optional<std::string> message;
  // False when a damaged file could not be moved out of the way: saving would destroy it.
  bool savingAllowed = true;
};

// Reads the saved sessions. A missing file gives no sessions and no message.
LoadResult load(const std::filesystem::path& file);

// The file's content for these sessions.
std::string encode(const std::vector<AgentSession>& sessions);

// Writes the sessions atomically, creating the directory (0700) when missing; the file is 0600.
// Returns the reason on failure; the previous file is then left as it was.
std::optional<std::string> save(const std::filesystem::path& file,
                                const std::vector<AgentSession>& sessions);

// Decides when to save: at most once per `interval` while the sessions keep changing, and soon
// after the first change following a quiet spell. Plain value; one owner.
class SaveSchedule {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SaveSchedule(std::chrono::milliseconds interval = std::chrono::seconds(1))
      : interval(interval) {}

  void markChanged() { changed = true; }
  bool hasChanges() const { return changed; }
  // Whether a save should start now.
  bool isDue(Clock::time_point now) const;
  // When the pending change becomes due; absent when nothing changed.
  std::optional<Clock::time_point> dueAt() const;
  // Records that a save of everything changed so far started at `now`.
  void didSave(Clock::time_point now);

 private:
  std::chrono::milliseconds interval;
  bool changed = false;
  std::optional<Clock::time_point> lastSave;
};

}  // namespace tarvel::Island::SessionPersistence
