#include "TarvelDisplay/Service/SessionStore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <numeric>
#include <system_error>

#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/FileReplace.hpp"
#include "TarvelCore/Platform/UniqueFd.hpp"
#include "TarvelCore/Sockets/AgentSocketLocation.hpp"
#include "TarvelCore/Sockets/UnixSocketSupport.hpp"

namespace tarvel::Display::SessionStore {
namespace {

constexpr std::int64_t formatVersion = 1;
// Bytes a saved session adds besides its text without events and its events' texts: the
// `,"recentEvents":[]` spliced in and the comma between sessions.
constexpr std::size_t sessionOverheadBytes = 19;

// Why the saved file could not be used.
struct Failure {
  std::string reason;
};

Failure systemError(std::string_view what, int error) {
  return {std::string(what) + ": " + std::strerror(error)};
}

// The bytes of the file, or why they could not be read.
Result<std::string, Failure> readFile(const std::filesystem::path& file) {
  // Never waits on a FIFO or device: only a regular file is read.
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    return systemError("open", errno);
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return systemError("stat", errno);
  }
  if (!S_ISREG(status.st_mode)) {
    return Failure{"not a regular file"};
  }
  if (static_cast<std::uint64_t>(status.st_size) > maximumFileBytes) {
    return Failure{"larger than " + std::to_string(maximumFileBytes) + " bytes"};
  }
  std::string bytes;
  char block[65536];
  while (true) {
    const ssize_t count = ::read(fd.get(), block, sizeof block);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return systemError("read", errno);
    }
    if (count == 0) {
      return bytes;
    }
    bytes.append(block, static_cast<std::size_t>(count));
    if (bytes.size() > maximumFileBytes) {
      return Failure{"larger than " + std::to_string(maximumFileBytes) + " bytes"};
    }
  }
}

Result<std::vector<AgentSession>, Failure> decode(std::string_view bytes) {
  auto parsed = Coding::parse(bytes);
  if (!parsed) {
    return Failure{parsed.error().description};
  }
  const Json& root = *parsed;
  if (!root.is_object()) {
    return Failure{"not a JSON object"};
  }
  const auto version = root.find("version");
  if (version == root.end() || !version->is_number_integer() ||
      version->get<std::int64_t>() != formatVersion) {
    return Failure{"unknown format version"};
  }
  const auto list = root.find("sessions");
  if (list == root.end() || !list->is_array()) {
    return Failure{"no \"sessions\" array"};
  }
  std::vector<AgentSession> sessions;
  sessions.reserve(list->size());
  try {
    std::size_t index = 0;
    for (const Json& element : *list) {
      sessions.push_back(
          Codable<AgentSession>::decode(element, "sessions[" + std::to_string(index++) + "]"));
    }
  } catch (const DecodingError& error) {
    return Failure{error.codingPath + ": " + error.description};
  } catch (const std::exception& error) {
    return Failure{error.what()};
  }
  return sessions;
}

// Moves the damaged file to a free "<name>.corrupt-<time>[-n]" beside it.
std::optional<std::filesystem::path> setAside(const std::filesystem::path& file) {
  std::string stamp = Dates::iso8601(Dates::now());
  std::erase_if(stamp, [](char character) { return character == ':' || character == '.'; });
  return FileReplace::setAside(file, ".corrupt-" + stamp).optional();
}

}  // namespace

std::filesystem::path defaultURL() {
  return AgentSocketLocation::tarvelDirectory() / "sessions.json";
}

Result<std::vector<AgentSession>, std::string> read(const std::filesystem::path& file) {
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0 && errno == ENOENT) {
    return std::vector<AgentSession>{};
  }
  auto bytes = readFile(file);
  if (!bytes) {
    return bytes.error().reason;
  }
  auto sessions = decode(*bytes);
  if (!sessions) {
    return sessions.error().reason;
  }
  return std::move(*sessions);
}

LoadResult load(const std::filesystem::path& file) {
  auto sessions = read(file);
  if (sessions) {
    return {.sessions = std::move(*sessions)};
  }
  const std::string& reason = sessions.error();
  if (const auto target = setAside(file)) {
    return {.message = "Saved sessions could not be read (" + reason + "); the file was moved to " +
                       target->string() + " and the display starts empty."};
  }
  return {.message = "Saved sessions could not be read (" + reason + ") nor moved aside; " +
                     file.string() + " is left untouched and sessions are not saved this time.",
          .savingAllowed = false};
}

std::string encode(const std::vector<AgentSession>& sessions) {
  Json list = Json::array();
  for (const AgentSession& session : sessions) {
    list.push_back(Codable<AgentSession>::encode(session));
  }
  return Coding::encode(Json{{"sessions", std::move(list)}, {"version", formatVersion}}) + "\n";
}

std::string encodeBounded(const SessionList& sessions, std::size_t maximumCount,
                          std::size_t maximumBytes, std::size_t maximumEventBytes) {
  return encodeBounded(sessions, {}, maximumCount, maximumBytes, maximumEventBytes);
}

std::string encodeBounded(const SessionList& sessions, const EncodedSessions& withoutEvents,
                          std::size_t maximumCount, std::size_t maximumBytes,
                          std::size_t maximumEventBytes) {
  // Which to keep first: active sessions, then finished ones, each newest first.
  std::vector<std::size_t> priority(sessions.size());
  std::iota(priority.begin(), priority.end(), 0);
  std::stable_sort(priority.begin(), priority.end(), [&](std::size_t left, std::size_t right) {
    const AgentSession& a = *sessions[left];
    const AgentSession& b = *sessions[right];
    if (a.isActive() != b.isActive()) {
      return a.isActive();
    }
    return a.updatedAt > b.updatedAt;
  });
  if (priority.size() > maximumCount) {
    priority.resize(maximumCount);
  }
  // Each considered session's text without events, and the texts of its events, newest first.
  struct Candidate {
    std::size_t position = 0;
    std::shared_ptr<const std::string> text;
    std::vector<std::string_view> events;
    std::vector<std::size_t> eventBytes;  // [k]: bytes its k newest events add
  };
  std::vector<Candidate> candidates;
  candidates.reserve(priority.size());
  std::vector<std::string> scratch;
  for (const std::size_t position : priority) {
    Candidate candidate{.position = position};
    const AgentSession& session = *sessions[position];
    try {
      candidate.text = position < withoutEvents.size() && withoutEvents[position]
                           ? withoutEvents[position]
                           : std::make_shared<const std::string>(
                                 Coding::encode(encodeWithoutEvents(session)));
      candidate.events = session.recentEvents.texts(scratch, AgentSession::recentEventLimit);
    } catch (const std::exception&) {
      continue;  // a session that cannot be encoded cannot be saved either
    }
    candidate.eventBytes.push_back(0);
    for (const std::string_view event : candidate.events) {
      candidate.eventBytes.push_back(candidate.eventBytes.back() + event.size() + 1);
    }
    candidates.push_back(std::move(candidate));
  }
  // Every session keeps the same number of its newest events: as many as fit the bounds.
  const auto fits = [&](std::size_t events) {
    std::size_t total = 0;
    std::size_t eventTotal = 0;
    for (const Candidate& candidate : candidates) {
      const std::size_t eventBytes =
          candidate.eventBytes[std::min(events, candidate.events.size())];
      total += candidate.text->size() + sessionOverheadBytes + eventBytes;
      eventTotal += eventBytes;
    }
    return total <= maximumBytes && eventTotal <= maximumEventBytes;
  };
  std::size_t events = 0;
  for (std::size_t low = 1, high = AgentSession::recentEventLimit; low <= high;) {
    const std::size_t middle = (low + high) / 2;
    if (fits(middle)) {
      events = middle;
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  // When even the sessions without events do not fit, the first in priority that do are kept.
  std::vector<const Candidate*> kept(sessions.size(), nullptr);
  std::size_t bytes = 0;
  for (const Candidate& candidate : candidates) {
    const std::size_t size = candidate.text->size() + sessionOverheadBytes +
                             candidate.eventBytes[std::min(events, candidate.events.size())];
    if (bytes + size > maximumBytes) {
      continue;  // a smaller one may still fit
    }
    bytes += size;
    kept[candidate.position] = &candidate;
  }
  // The same layout as encode(): {"sessions":[...],"version":1} and a line feed.
  std::string file = "{\"sessions\":[";
  file.reserve(bytes + 64);
  bool first = true;
  for (const Candidate* candidate : kept) {
    if (candidate == nullptr) {
      continue;
    }
    if (!first) {
      file += ',';
    }
    first = false;
    appendSessionText(file, *candidate->text, candidate->events, events);
  }
  file += "],\"version\":" + std::to_string(formatVersion) + "}\n";
  return file;
}

std::size_t removeStaleTemporaries(const std::filesystem::path& file) {
  const std::string prefix = FileReplace::temporaryPrefix(file);
  std::size_t removed = 0;
  std::error_code error;
  for (std::filesystem::directory_iterator entries(file.parent_path(), error), end;
       !error && entries != end; entries.increment(error)) {
    const std::string name = entries->path().filename().string();
    // unlink never follows a link, so a planted link removes only itself.
    if (name.starts_with(prefix) && ::unlink(entries->path().c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

std::optional<std::string> save(const std::filesystem::path& file,
                                const std::vector<AgentSession>& sessions) {
  return save(file, toSessionList(sessions));
}

std::optional<std::string> save(const std::filesystem::path& file, const SessionList& sessions,
                                const EncodedSessions& withoutEvents) {
  std::string bytes;
  try {
    bytes = encodeBounded(sessions, withoutEvents);
  } catch (const std::exception& error) {
    return std::string("encode: ") + error.what();
  }
  if (auto error = UnixSocketSupport::makeDirectories(file.parent_path())) {
    return error->description();
  }
  if (const auto problem = FileReplace::replace(file, bytes, {.mode = 0600})) {
    return problem->description();
  }
  return std::nullopt;
}

bool SaveSchedule::isDue(Clock::time_point now) const {
  const auto due = dueAt();
  return due && now >= *due;
}

std::optional<SaveSchedule::Clock::time_point> SaveSchedule::dueAt() const {
  if (!changed) {
    return std::nullopt;
  }
  if (retryAt) {
    return *retryAt;
  }
  // Never saved: due at once (the clock's epoch lies in the past, and subtracting from it is safe).
  return lastSave ? *lastSave + interval : Clock::time_point{};
}

void SaveSchedule::saveEnded(bool succeeded, Clock::time_point startedAt) {
  if (succeeded) {
    failuresInARow = 0;
    retryAt.reset();
    return;
  }
  changed = true;  // what that save held is still unsaved
  failuresInARow = std::min(failuresInARow + 1, 16U);
  const auto wait = std::min<std::chrono::milliseconds>(interval * (1U << (failuresInARow - 1)),
                                                        longestRetryWait);
  retryAt = startedAt + wait;
}

void SaveSchedule::didSave(Clock::time_point now) {
  changed = false;
  lastSave = now;
}

}  // namespace tarvel::Display::SessionStore
