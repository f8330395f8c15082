#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "TarvelCore/Models/AgentEvent.hpp"
#include "TarvelCore/Models/AgentOrigin.hpp"
#include "TarvelCore/Models/AgentPlan.hpp"
#include "TarvelCore/Models/AgentProvider.hpp"
#include "TarvelCore/Models/AgentReply.hpp"
#include "TarvelCore/Models/AgentTaskTitle.hpp"
#include "TarvelCore/Platform/Coding.hpp"
#include "TarvelCore/Platform/Date.hpp"
#include "TarvelCore/Platform/UUID.hpp"

namespace tarvel {

// A session's recent events, newest first. A value: == compares the events, and changing one copy
// never shows in another. Each event is kept as the text the shared coder writes for it (a few
// hundred bytes rather than the kilobyte and more of the record), or as the record itself when
// that text would not give it back exactly (a time finer than milliseconds, a value the decoder
// refuses); reading one decodes it, so reads give events by value. Copies share one buffer of
// immutable events, so copying costs a single reference count however many events there are; the
// first change after a copy duplicates only the list of pointers, never the events.
// Thread: distinct copies may be used on distinct threads; one copy by one thread at a time.
class AgentEventHistory {
 private:
  struct Stored;
  // An event's time beside it, so that keeping the order reads one array.
  struct Entry {
    Date timestamp{};
    std::shared_ptr<const Stored> event;
  };

 public:
  using Storage = std::vector<Entry>;

  // Iterates over the events, decoding each as it is read.
  class ConstIterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;
    using value_type = AgentEvent;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = AgentEvent;

    ConstIterator() = default;
    explicit ConstIterator(Storage::const_iterator position) : position(position) {}
    AgentEvent operator*() const;
    AgentEvent operator[](difference_type offset) const { return *(*this + offset); }
    ConstIterator& operator++() {
      ++position;
      return *this;
    }
    ConstIterator operator++(int) { return ConstIterator(position++); }
    ConstIterator& operator--() {
      --position;
      return *this;
    }
    ConstIterator operator--(int) { return ConstIterator(position--); }
    ConstIterator& operator+=(difference_type offset) {
      position += offset;
      return *this;
    }
    ConstIterator& operator-=(difference_type offset) {
      position -= offset;
      return *this;
    }
    friend ConstIterator operator+(ConstIterator it, difference_type offset) {
      return it += offset;
    }
    friend ConstIterator operator+(difference_type offset, ConstIterator it) {
      return it += offset;
    }
    friend ConstIterator operator-(ConstIterator it, difference_type offset) {
      return it -= offset;
    }
    friend difference_type operator-(const ConstIterator& a, const ConstIterator& b) {
      return a.position - b.position;
    }
    bool operator==(const ConstIterator&) const = default;
    auto operator<=>(const ConstIterator& other) const { return position <=> other.position; }

   private:
    Storage::const_iterator position;
  };
  using const_iterator = ConstIterator;  // NOLINT(readability-identifier-naming): container API
  using iterator = ConstIterator;
  using value_type = AgentEvent;
  using size_type = std::size_t;

  AgentEventHistory() = default;
  AgentEventHistory(std::initializer_list<AgentEvent> events);
  // Keeps the events in the given order.
  explicit AgentEventHistory(std::vector<AgentEvent> events);

  std::size_t size() const { return storage ? storage->size() : 0; }
  bool empty() const { return size() == 0; }
  AgentEvent operator[](std::size_t index) const;
  AgentEvent front() const { return (*this)[0]; }
  AgentEvent back() const { return (*this)[size() - 1]; }
  ConstIterator begin() const;
  ConstIterator end() const;
  std::vector<AgentEvent> toVector() const;

  // Appends the event, sorts stably by timestamp, newest first, and keeps the first `limit`.
  void record(const AgentEvent& event, std::size_t limit);
  // Sorts stably by timestamp, newest first, and keeps the first `limit`.
  void sortAndTruncate(std::size_t limit);
  // Removes every event for which `shouldRemove` is true; returns how many were removed.
  std::size_t removeIf(const std::function<bool(const AgentEvent&)>& shouldRemove);

  // The newest `limit` events as the shared coder writes them, newest first, without decoding
  // the kept texts.
  std::vector<std::string_view> texts(std::vector<std::string>& scratch,
                                      std::size_t limit = SIZE_MAX) const;
  // Whether both share one buffer (a copy not changed since).
  bool sharesEventsWith(const AgentEventHistory& other) const { return storage == other.storage; }

  bool operator==(const AgentEventHistory& other) const;

 private:
  // The buffer, made this copy's own first when another copy shares it.
  Storage& mutableStorage();

  std::shared_ptr<Storage> storage;  // null when empty
};

// The value record for one agent conversation: the fold of every event with its session id into
// what the display shows. A plain value; every mutating operation changes only this copy.
// Not thread-safe in itself: one caller mutates a copy at a time.
struct AgentSession {
  static constexpr std::size_t recentEventLimit = 50;
  static constexpr std::size_t recentFileLimit = 6;
  static constexpr std::size_t workflowLimit = 6;

  std::string id;
  AgentProvider provider;
  std::string task = std::string(AgentTaskTitle::untitled);
  std::string currentActivity;
  AgentState state = AgentState::idle;
  Date startedAt{};
  Date updatedAt{};
  std::optional<Date> completedAt;  // present exactly when the state is completed or failed
  std::optional<std::string> workingDirectory;
  std::optional<std::string> projectName;
  std::vector<std::string> recentFiles;  // most recent first, unique, at most recentFileLimit
  AgentEventHistory recentEvents;        // newest first, at most recentEventLimit
  std::optional<std::string> applicationURL;
  std::optional<AgentOrigin> origin;
  std::optional<std::string> parentSessionId;
  std::optional<std::string> agentRole;
  std::optional<AgentPlan> plan;
  std::vector<AgentWorkflow>
      workflows;  // newest updatedAt first, unique ids, at most workflowLimit
  std::optional<AgentPendingReply> pendingReply;  // the last of pendingReplies
  std::vector<AgentPendingReply> pendingReplies;  // in order of arrival, unique replyId
  bool hasOfficialSessionTitle = false;
  bool isInternalHelper = false;

  // A session built from the first event of its id.
  static AgentSession fromEvent(const AgentEvent& event);

  // Folds the event in; true when it moved the session forward. An older event never overwrites
  // newer state, a terminal event ends a live session even when late, and a finished session
  // reopens only on a start or a new prompt. Every event is kept in recentEvents.
  bool apply(const AgentEvent& event);

  // Ends an active session as `completed` or `failed` at `date`; any other state does nothing.
  void complete(AgentState finalState, Date date);
  // Puts a working session (starting through editing) into `unknown`.
  void markUnknown();
  // Resolves an `unknown` session from a lifecycle read back from the provider's own records;
  // true when the session changed.
  bool applyRestoredLifecycle(AgentState restoredState, const std::optional<std::string>& activity,
                              Date date);
  // Re-applies a workflow event to a restored session of an agent that reports workflows; true
  // when anything changed.
  bool reconcileRestoredWorkflow(const AgentEvent& event);
  // Undoes the recency that workflow state events (HookEventNames::workflowState) stamped more
  // than 5 seconds after `authoritativeTimestamp` gave the session and workflow `workflowId`;
  // true when it did.
  bool repairLegacyRestoredWorkflowRecency(const std::string& workflowId,
                                           Date authoritativeTimestamp);
  // Keeps only the pending prompts whose reply id `isLive` accepts.
  void retainPendingReplies(const std::function<bool(const UUID&)>& isLive);
  // Removes the pending prompt with this reply id; false (and no change) when there is none.
  bool removePendingReply(const UUID& replyId);

  bool isActive() const { return tarvel::isActive(state); }
  bool needsAttention() const { return tarvel::needsAttention(state); }
  bool isSubagent() const { return parentSessionId.has_value(); }

  bool operator==(const AgentSession&) const = default;
  // The same answer as operator==, usually from the update times alone: almost every change
  // moves them, and the full comparison walks every text first.
  bool sameAs(const AgentSession& other) const {
    return this == &other || (updatedAt == other.updatedAt && *this == other);
  }
};

// Reads and writes the session's JSON object. Decoding normalises what it reads: it derives a
// missing project name, caps and re-sorts the collections, drops pending prompts of a session
// that is not waiting, derives absent flags and completes the plan of a completed session.
template <>
struct Codable<AgentSession> {
  static Json encode(const AgentSession& session);
  static AgentSession decode(const Json& value, const std::string& path);
};

// The session's JSON object without "recentEvents": what the service's state carries.
Json encodeWithoutEvents(const AgentSession& session);
// The session's JSON text as encodeJSON writes it, from the text of encodeWithoutEvents() and the
// texts of the events to keep (newest first), which are spliced in rather than encoded again.
std::string encodeSessionText(std::string_view withoutEvents,
                              const std::vector<std::string_view>& eventTexts);
// The same appended to `out`, with only the first `eventLimit` of the events.
void appendSessionText(std::string& out, std::string_view withoutEvents,
                       const std::vector<std::string_view>& eventTexts,
                       std::size_t eventLimit = SIZE_MAX);
// The session's JSON text with only its `eventLimit` newest events (encodeJSON's text when it
// keeps them all).
std::string encodeSessionText(const AgentSession& session, std::size_t eventLimit = SIZE_MAX);

namespace AgentTaskTitle {

// False when the session or the root of its group is an internal helper session.
bool isUserVisible(const AgentSession& session, const AgentSession& groupRoot);

}  // namespace AgentTaskTitle
}  // namespace tarvel

template <>
struct std::hash<tarvel::AgentSession> {
  std::size_t operator()(const tarvel::AgentSession& session) const;
};
