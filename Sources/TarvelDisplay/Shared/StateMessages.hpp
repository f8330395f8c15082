#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Sessions/NotchActivitySnapshot.hpp"
#include "TarvelCore/Sessions/SharedSession.hpp"
#include "TarvelDisplay/Shared/LivePrompt.hpp"

// The service's state as the API sends it: the whole state (GET /v1/state and the first message
// of the event stream) and the change from one revision to the next (later stream messages).
// Sessions are encoded with the shared coders; the snapshot names its sessions by id.
namespace tarvel::Display {

struct ServiceInfo {
  std::string version;
  Date startedAt{};
  std::uint64_t eventsReceived = 0;
  // When each agent (by provider name) last sent an event, kept after its sessions are cleared.
  std::map<std::string, Date> lastEvents;
  // The remote hosts' links, as the JSON array the state's "remotes" carries.
  std::string remotes = "[]";
  bool operator==(const ServiceInfo&) const = default;
};

// What a status line needs.
struct StatusCounts {
  std::uint64_t revision = 0;
  std::size_t waiting = 0;   // SessionCounts::waiting
  std::size_t working = 0;   // SessionCounts::working
  std::size_t prompts = 0;   // live prompts
  std::size_t sessions = 0;  // all sessions
  std::uint64_t eventsReceived = 0;  // as in ServiceInfo
  std::size_t remotesDown = 0;  // remote hosts whose link is down (sent only when some are)
  bool operator==(const StatusCounts&) const = default;
};

Json encodeSnapshot(const NotchActivitySnapshot& snapshot);
Json encodeStatus(const StatusCounts& counts);

// One published revision. Immutable once made; shared by every API thread that sends it.
class PublishedState {
 public:
  std::uint64_t revision = 0;
  // The "change" message data from the previous revision: the sessions whose record changed,
  // and edits of the order and of the snapshot's long lists, never a list of every session.
  std::string change;
  StatusCounts counts;
  std::vector<LivePrompt> prompts;
  // The sessions themselves (shared records), for one session's whole record on request.
  SessionList sessions;

  // The whole state's JSON text, built on first use and kept.
  const std::string& whole() const;

  // Pieces of the whole state, already encoded.
  std::vector<std::shared_ptr<const std::string>> sessionTexts;
  std::string serviceText;
  std::string remotesText = "[]";
  std::string snapshotText;
  std::string promptsText;
  std::string answerersText = "[]";
  std::string endedPromptsText = "[]";
  std::string sessionOutcomesText = "{}";
  std::string recentAnswersText = "[]";

 private:
  mutable std::once_flag built;
  mutable std::string wholeText;
};

// One session's whole record with every event it keeps (newest first), as the shared coders
// write it; absent when the state has no session with this id.
std::optional<std::string> encodeSessionDetail(const PublishedState& state, std::string_view id);

// The edits that turn the list of distinct ids `before` into `after`, so that a change message
// carries what moved rather than the whole list: {"placed":[{"id","index"}...],"removed":[...]}.
Json listChanges(const std::vector<std::string>& before, const std::vector<std::string>& after);
// Applies listChanges() to `list`; false when they do not fit it.
bool applyListChanges(std::vector<std::string>& list, const Json& changes);

// The id lists of the snapshot that may hold every session; a change message carries their edits.
struct SnapshotList {
  const char* key;         // the whole list's key in the snapshot
  const char* changesKey;  // its edits' key in a change message's "snapshotChanges"
};
inline constexpr std::array<SnapshotList, 3> longSnapshotLists{{
    {"activeSessionIds", "activeSessionIdChanges"},
    {"attentionSessionIds", "attentionSessionIdChanges"},
    {"relatedSessionIds", "relatedSessionIdChanges"},
}};

// Appends `texts` (each one encoded JSON value) as the elements of a JSON array.
void appendArray(std::string& out, const std::vector<std::shared_ptr<const std::string>>& texts);

}  // namespace tarvel::Display
