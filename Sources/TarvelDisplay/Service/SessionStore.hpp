#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TarvelCore/Platform/Result.hpp"
#include "TarvelCore/Sessions/AgentSession.hpp"
#include "TarvelCore/Sessions/SharedSession.hpp"

// The service's saved sessions: "~/.tarvel/sessions.json", written atomically (FileReplace: a
// temporary file beside it, synced, renamed over it, the folder synced), read back at start. A
// file that cannot be read or decoded (a FIFO or any other non-regular file included, never waited
// on) is never overwritten: it is renamed aside with a ".corrupt-<time>" suffix and the service
// starts empty with a message saying so. What is written is bounded so that it always loads again.
// Stateless functions; callable from any thread, but one writer per file at a time.
namespace tarvel::Display::SessionStore {

// Files larger than this are not read (and are set aside as unreadable).
inline constexpr std::size_t maximumFileBytes = 64 * 1024 * 1024;
// At most this many sessions, and about this many bytes of them, are written. Every saved session
// keeps the same number of its newest events (at most AgentSession::recentEventLimit), as many
// as fit both bounds, so that a save stays a few megabytes written once a second however many
// sessions there are; when even the sessions without events do not fit, the oldest finished
// sessions are left out first, then the oldest active ones. The service holds no more sessions
// than it saves.
inline constexpr std::size_t maximumSavedSessions = 10'000;
inline constexpr std::size_t maximumSavedBytes = 16 * 1024 * 1024;
inline constexpr std::size_t maximumSavedEventBytes = 4 * 1024 * 1024;

// Sessions' texts without their events (encodeWithoutEvents), by position in a session list;
// a missing or null one is encoded when needed.
using EncodedSessions = std::vector<std::shared_ptr<const std::string>>;

// "~/.tarvel/sessions.json".
std::filesystem::path defaultURL();

struct LoadResult {
  std::vector<AgentSession> sessions;
  // For the user: why the saved sessions were set aside, and where they are now.
  std::optional<std::string> message;
  // False when a damaged file could not be moved out of the way: saving would destroy it.
  bool savingAllowed = true;
};

// Reads the saved sessions without changing anything: a missing file gives none; a file that
// cannot be used gives the reason.
Result<std::vector<AgentSession>, std::string> read(const std::filesystem::path& file);

// Reads the saved sessions, setting a damaged file aside. A missing file gives no sessions and
// no message.
LoadResult load(const std::filesystem::path& file);

// The file's content for these sessions (all of them; save() bounds them first).
std::string encode(const std::vector<AgentSession>& sessions);

// The file's content for the sessions that are kept, in their order: at most `maximumCount`
// and about `maximumBytes` of encoded sessions, active ones first, then the newest, each with
// the same number of its newest events (their texts at most about `maximumEventBytes`). Only the sessions considered are encoded; the events'
// kept texts and the given texts are spliced in rather than encoded again.
std::string encodeBounded(const SessionList& sessions,
                          std::size_t maximumCount = maximumSavedSessions,
                          std::size_t maximumBytes = maximumSavedBytes,
                          std::size_t maximumEventBytes = maximumSavedEventBytes);
std::string encodeBounded(const SessionList& sessions, const EncodedSessions& withoutEvents,
                          std::size_t maximumCount = maximumSavedSessions,
                          std::size_t maximumBytes = maximumSavedBytes,
                          std::size_t maximumEventBytes = maximumSavedEventBytes);

// Removes "<file>.tmp-*" files left beside `file` by saves that were killed; call only while
// holding the service's instance lock. Returns how many were removed.
std::size_t removeStaleTemporaries(const std::filesystem::path& file);

// Writes the bounded sessions atomically, creating the directory (0700) when missing; the file is
// 0600, and a symbolic link in its place is refused. Returns the reason on failure; the previous
// file is then left as it was.
std::optional<std::string> save(const std::filesystem::path& file, const SessionList& sessions,
                                const EncodedSessions& withoutEvents = {});
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
  // Records how the save started at `startedAt` ended. A failed one leaves the sessions unsaved
  // and is tried again after a wait that doubles with each failure in a row (up to
  // `longestRetryWait`); a success ends the waiting.
  void saveEnded(bool succeeded, Clock::time_point startedAt);

  static constexpr std::chrono::seconds longestRetryWait{60};

 private:
  std::chrono::milliseconds interval;
  bool changed = false;
  std::optional<Clock::time_point> lastSave;
  unsigned failuresInARow = 0;
  std::optional<Clock::time_point> retryAt;
};

}  // namespace tarvel::Display::SessionStore
