#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "TarvelCore/Sessions/AgentSession.hpp"

namespace tarvel {

// One immutable session shared by every list, index and snapshot that holds it: copying costs a
// reference count, and nothing can change the session through it, so it behaves as a value.
// Compares by value (two handles of the same record are equal without looking inside).
// Thread: immutable; copies may be read on any thread.
class SharedSession {
 public:
  explicit SharedSession(AgentSession session)
      : record(std::make_shared<const AgentSession>(std::move(session))) {}

  const AgentSession& operator*() const { return *record; }
  const AgentSession* operator->() const { return record.get(); }
  const AgentSession& value() const { return *record; }

  // Whether both handles hold the very same record.
  bool isSameRecord(const SharedSession& other) const { return record == other.record; }

  bool operator==(const SharedSession& other) const {
    return record == other.record || *record == *other.record;
  }

 private:
  std::shared_ptr<const AgentSession> record;  // never null
};

// An ordered list of shared sessions.
using SessionList = std::vector<SharedSession>;

// The sessions as plain values, and back.
std::vector<AgentSession> toSessions(const SessionList& list);
SessionList toSessionList(std::vector<AgentSession> sessions);

// The sessions' ids, in order, as a JSON array.
Json sessionIds(const SessionList& list);

}  // namespace tarvel
